// The serving session on a headless Xorg with the real Linux desktop: the
// virtual display as the pointer, windows and the capture see it.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cmath>
#include <cstdlib>

#include "desktop/x11/X11DesktopEnvironment.hpp"
#include "desktop/x11/X11DisplayConfiguration.hpp"
#include "input/InputPermission.hpp"
#include "platform/CReply.hpp"
#include "session/M2Pipeline.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/EventLog.hpp"
#include "support/QuietPublisher.hpp"
#include "support/RootPainter.hpp"
#include "support/TestVideo.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail {
namespace {

using test::RawBytes;
using test::WireTestClient;

std::shared_ptr<M2Pipeline> extendOn(const std::string& display, bool penHighRate, test::EventLog& log) {
  M2Pipeline::Config c;
  c.mode = {640, 480, 30};
  c.port = 0;
  c.captureMain = false;
  c.penHighRate = penHighRate;
  c.desktop = std::make_shared<X11DesktopEnvironment>(display);
  c.log = [&log](const std::string& line) { log.add(line); };
  c.publisherFactory = [](ServicePublisher::Listener) { return std::make_unique<test::QuietPublisher>(); };
  return M2Pipeline::create(std::move(c));
}

// One Input packet: a pen at (x, y) of the stream, in 1/65535.
RawBytes penSample(uint8_t flags, uint16_t x, uint16_t y) {
  RawBytes b{1, 0};
  test::putLE32(b, 0);
  b.insert(b.end(), {1, 0, 0, 0, /*pointer*/ 1, /*pen*/ 0, flags, 0});
  test::putLE16(b, x);
  test::putLE16(b, y);
  test::putLE16(b, 30000);
  for (int i = 0; i < 3; ++i) test::putLE16(b, 0);
  return b;
}

// A client of its own, to look at the pointer and hold a window.
struct XPeer {
  explicit XPeer(const std::string& display) : c(X11Connections::connect(display, nullptr)) {
    root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  }
  ~XPeer() { X11Connections::disconnect(c); }
  std::pair<int, int> pointer() {
    const auto r = ownReply(xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
    const std::pair<int, int> at = r ? std::pair<int, int>{r->root_x, r->root_y} : std::pair<int, int>{-1, -1};
    return at;
  }
  xcb_window_t windowAt(const DisplayBounds& b) {
    const xcb_window_t w = xcb_generate_id(c);
    const uint32_t values[] = {0xffffff, 1, XCB_EVENT_MASK_BUTTON_PRESS};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, root, int16_t(b.x), int16_t(b.y), uint16_t(b.width),
                      uint16_t(b.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c, w);
    ownReply(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return w;
  }
  // The first button press delivered to `w` so far.
  std::optional<std::pair<int, int>> pressIn(xcb_window_t w) {
    while (const auto e = ownReply(xcb_poll_for_event(c))) {
      if ((e->response_type & 0x7f) == XCB_BUTTON_PRESS) {
        auto* press = reinterpret_cast<xcb_button_press_event_t*>(e.get());
        if (press->event == w && !seen) seen = std::pair<int, int>{press->event_x, press->event_y};
      }
    }
    return seen;
  }
  xcb_connection_t* c;
  xcb_window_t root;
  std::optional<std::pair<int, int>> seen;
};

TEST(SessionOnX11Integration, APenContactAtTheStreamCentreLandsAtTheVirtualMonitorCentreAndInItsWindow) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  if (InputPermission::uinputWritable()) GTEST_SKIP() << "/dev/uinput is writable: input would not take the XTest path";
  test::EventLog log;
  auto pipeline = extendOn(x.display(), false, log);
  ASSERT_TRUE(pipeline->startServing()) << (log.lines().empty() ? "" : log.lines().back());
  EXPECT_FALSE(log.contains("WARN: no free output"));
  const auto bounds = X11DisplayConfiguration::open(x.display())->bounds(pipeline->virtualDisplayID());
  ASSERT_TRUE(bounds.has_value());
  ASSERT_EQ(*bounds, (DisplayBounds{1920, 0, 640, 480}));  // right of the 1920x1080 main display

  XPeer peer(x.display());
  const xcb_window_t window = peer.windowAt(*bounds);
  WireTestClient client(pipeline->boundPort());
  ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
  ASSERT_TRUE(client.send(test::Code::input, penSample(3, 32768, 32768)));
  // The server keeps the pointer on what its outputs show: before the
  // display was an output, it stopped at x = 1919.
  EXPECT_TRUE(test::eventually([&] { return peer.pointer() == std::pair<int, int>{1920 + 320, 240}; }))
      << peer.pointer().first << "," << peer.pointer().second;
  EXPECT_TRUE(test::eventually([&] { return peer.pressIn(window).has_value(); })) << "no press reached the window";
  EXPECT_EQ(peer.pressIn(window), (std::pair<int, int>{320, 240}));
  ASSERT_TRUE(client.send(test::Code::input, penSample(0, 32768, 32768)));
  pipeline->stopServing();
}

TEST(SessionOnX11Integration, TheCaptureStillShowsTheVirtualDisplayAfterItIsMadeMain) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::EventLog log;
  auto pipeline = extendOn(x.display(), true, log);
  ASSERT_TRUE(pipeline->startServing()) << (log.lines().empty() ? "" : log.lines().back());
  WireTestClient client(pipeline->boundPort());
  ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
  // A client makes the pen's high rate real: the virtual display becomes main.
  ASSERT_TRUE(test::eventually([&] { return log.contains("[pen] high-rate: Lumenrail display is now main"); }));
  auto displays = X11DisplayConfiguration::open(x.display());
  const uint32_t id = pipeline->virtualDisplayID();
  ASSERT_EQ(displays->mainDisplay(), id);
  ASSERT_EQ(displays->bounds(id), (DisplayBounds{0, 0, 640, 480}));

  test::RootPainter painter(x.display());
  painter.fill(0x000000);
  painter.fillRect(0xffffff, 0, 0, 640, 480);
  ASSERT_TRUE(client.send(test::Code::requestIdr, {2, 0, 0, 0}));
  test::TestDecoder decoder(Wire::Codec::h264);
  ASSERT_TRUE(decoder.ready());
  bool keyed = false;
  int centreLuma = -1;
  // Frames keep coming (the pump repeats the last one when the screen is still).
  for (int i = 0; i < 150 && centreLuma < 200; ++i) {
    auto f = client.readUntil(test::Code::frame);
    ASSERT_TRUE(f.has_value() && f->payload.size() > 12);
    keyed = keyed || f->payload[8] == 1;
    if (!keyed || !decoder.decode(Bytes(f->payload.begin() + 12, f->payload.end()))) continue;
    const AVFrame* p = decoder.picture();
    centreLuma = p->data[0][(p->height / 2) * p->linesize[0] + p->width / 2];
  }
  EXPECT_GE(centreLuma, 200) << "the stream shows the old main display, not the virtual one";
  pipeline->stopServing();
}

}  // namespace
}  // namespace lumenrail
