#include <gtest/gtest.h>
#include <poll.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

#include "desktop/x11/XDesktopInput.hpp"
#include "desktop/x11/XScreenWatch.hpp"
#include "desktop/x11/XTestInputSink.hpp"
#include "input/AppIdentity.hpp"
#include "input/ForegroundAppWatcher.hpp"
#include "input/InputPermission.hpp"
#include "input/KeyComboInjector.hpp"
#include "input/PenInjector.hpp"
#include "input/UinputInputSink.hpp"
#include "input/XkbKeyboardLayout.hpp"
#include "platform/CReply.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

// The test's own client of the private server: windows and properties set
// by hand (there is no window manager).
class XClient {
 public:
  explicit XClient(const std::string& display) {
    conn = xcb_connect(display.c_str(), nullptr);
    screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
  }
  ~XClient() { xcb_disconnect(conn); }

  uint32_t atom(const char* name) {
    const auto r = ownReply(
        xcb_intern_atom_reply(conn, xcb_intern_atom(conn, 0, static_cast<uint16_t>(strlen(name)), name), nullptr));
    const uint32_t a = r ? r->atom : 0;
    return a;
  }
  uint32_t window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t events = 0) {
    const uint32_t id = xcb_generate_id(conn);
    const uint32_t values[] = {events};
    xcb_create_window(conn, XCB_COPY_FROM_PARENT, id, screen->root, x, y, w, h, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_EVENT_MASK, values);
    xcb_map_window(conn, id);
    xcb_flush(conn);
    return id;
  }
  void setString(uint32_t win, const char* prop, uint32_t type, const std::string& bytes) {
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, win, atom(prop), type, 8, static_cast<uint32_t>(bytes.size()),
                        bytes.data());
    sync();
  }
  void setWords(uint32_t win, const char* prop, uint32_t type, std::vector<uint32_t> words) {
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, win, atom(prop), type, 32, static_cast<uint32_t>(words.size()),
                        words.data());
    sync();
  }
  void sync() { ownReply(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr)); }
  xcb_query_pointer_reply_t pointer() {
    const auto r = ownReply(xcb_query_pointer_reply(conn, xcb_query_pointer(conn, screen->root), nullptr));
    xcb_query_pointer_reply_t out{};
    if (r) out = *r;
    return out;
  }
  // The next key press on our windows, waiting up to the test deadline.
  std::optional<xcb_key_press_event_t> nextKeyPress() {
    const uint64_t until = 10'000;
    for (uint64_t waited = 0; waited < until; waited += 50) {
      while (const auto e = ownReply(xcb_poll_for_event(conn))) {
        const bool press = (e->response_type & 0x7f) == XCB_KEY_PRESS;
        xcb_key_press_event_t copy{};
        if (press) std::memcpy(&copy, e.get(), sizeof copy);
        if (press) return copy;
      }
      pollfd fd{xcb_get_file_descriptor(conn), POLLIN, 0};
      ::poll(&fd, 1, 50);
    }
    return std::nullopt;
  }
  uint32_t keysym(uint8_t keycode) {
    const auto r = ownReply(xcb_get_keyboard_mapping_reply(conn, xcb_get_keyboard_mapping(conn, keycode, 1), nullptr));
    uint32_t sym = 0;
    if (r && xcb_get_keyboard_mapping_keysyms_length(r.get()) > 0) sym = xcb_get_keyboard_mapping_keysyms(r.get())[0];
    return sym;
  }

  xcb_connection_t* conn = nullptr;
  xcb_screen_t* screen = nullptr;
};

TEST(XTestSinkIntegration, MovesThePointerAndPressesButtons) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  EXPECT_TRUE(InputPermission::xtestPresent(x.display()));
  EXPECT_TRUE(InputPermission::mayPostInput(x.display()));
  test::EventLog log;
  auto sink = XTestInputSink::open(x.display(), [&](const std::string& l) { log.add(l); });
  ASSERT_TRUE(sink);
  EXPECT_EQ(log.count("pen pressure, tilt and proximity cannot travel"), 1);
  XClient client(x.display());

  InputEvent move;
  move.type = 5;
  move.location = {300.4, 200.6};
  ASSERT_TRUE(sink->post(move));
  EXPECT_TRUE(test::eventually([&] {
    auto p = client.pointer();
    return p.root_x == 300 && p.root_y == 201;
  }));
  InputEvent down;
  down.type = 1;
  down.location = {310, 210};
  ASSERT_TRUE(sink->post(down));
  EXPECT_TRUE(test::eventually([&] { return (client.pointer().mask & XCB_BUTTON_MASK_1) != 0; }));
  EXPECT_EQ(client.pointer().root_x, 310);
  InputEvent up = down;
  up.type = 2;
  ASSERT_TRUE(sink->post(up));
  EXPECT_TRUE(test::eventually([&] { return (client.pointer().mask & XCB_BUTTON_MASK_1) == 0; }));
  InputEvent right = down;
  right.type = 3;
  ASSERT_TRUE(sink->post(right));
  EXPECT_TRUE(test::eventually([&] { return (client.pointer().mask & XCB_BUTTON_MASK_3) != 0; }));
  sink.reset();  // a sink that goes away lets go of what it pressed
  EXPECT_TRUE(test::eventually([&] { return (client.pointer().mask & XCB_BUTTON_MASK_3) == 0; }));
}

// Client samples through the injector to the X server: the barrel is button
// 3, and a pen that turns into a finger in contact, or whose client leaves
// in contact, leaves no button down.
TEST(XTestSinkIntegration, PenButtonsThroughTheInjectorAndNothingStaysDown) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  auto sink = XTestInputSink::open(x.display());
  ASSERT_TRUE(sink);
  XClient client(x.display());
  PenInjector::Platform platform;
  platform.sink = sink;
  // A clock that stands still: no silence release however slow the machine.
  platform.now = [] { return uint64_t{1'000'000'000}; };
  platform.penRateHz = "0";
  auto pen = PenInjector::create([] { return Rect{0, 0, 640, 480}; }, [] { return std::optional<Size>(); }, nullptr,
                                 1, platform);
  const auto send = [&](Wire::PenTool tool, uint8_t flags) {
    Wire::InputPointer p{1, tool, flags, 30000, 30000, 30000, 0, 0, 0};
    pen->submit({Wire::InputSample{0, {p}}});
  };
  const auto buttons = [&] {
    return client.pointer().mask & (XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3);
  };
  constexpr uint8_t hover = Wire::PenFlag::inRange;
  constexpr uint8_t touch = Wire::PenFlag::inRange | Wire::PenFlag::inContact;
  send(Wire::PenTool::pen, hover | Wire::PenFlag::barrel);
  EXPECT_TRUE(test::eventually([&] { return buttons() == XCB_BUTTON_MASK_3; }));
  send(Wire::PenTool::pen, hover);
  send(Wire::PenTool::pen, touch);
  EXPECT_TRUE(test::eventually([&] { return buttons() == XCB_BUTTON_MASK_1; }));
  send(Wire::PenTool::finger, touch);
  EXPECT_TRUE(test::eventually([&] { return buttons() == 0; }));
  send(Wire::PenTool::pen, touch);
  EXPECT_TRUE(test::eventually([&] { return buttons() == XCB_BUTTON_MASK_1; }));
  pen->releaseAndClose();  // the client left in contact
  EXPECT_TRUE(test::eventually([&] { return buttons() == 0; }));
}

TEST(XTestSinkIntegration, KeyTapReachesTheFocusedWindowWithItsKeysymAndModifier) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  XClient client(x.display());
  const uint32_t win = client.window(0, 0, 200, 200, XCB_EVENT_MASK_KEY_PRESS);
  xcb_set_input_focus(client.conn, XCB_INPUT_FOCUS_POINTER_ROOT, win, XCB_CURRENT_TIME);
  client.sync();
  auto sink = XTestInputSink::open(x.display());
  ASSERT_TRUE(sink);

  InputEvent key;
  key.type = 10;
  key.keyCode = 0;  // the A position
  ASSERT_TRUE(sink->post(key));
  key.type = 11;
  ASSERT_TRUE(sink->post(key));
  auto press = client.nextKeyPress();
  ASSERT_TRUE(press);
  EXPECT_EQ(client.keysym(press->detail), 0x61u);  // a
  EXPECT_EQ(press->state & XCB_MOD_MASK_CONTROL, 0);

  // ctrl+C: Control goes down first, then C carries it.
  key.keyCode = 8;
  key.flags = 0x100000;
  key.type = 10;
  ASSERT_TRUE(sink->post(key));
  key.type = 11;
  ASSERT_TRUE(sink->post(key));
  press = client.nextKeyPress();
  ASSERT_TRUE(press);
  EXPECT_EQ(client.keysym(press->detail), 0xffe3u);  // Control_L
  press = client.nextKeyPress();
  ASSERT_TRUE(press);
  EXPECT_EQ(client.keysym(press->detail), 0x63u);  // c
  EXPECT_NE(press->state & XCB_MOD_MASK_CONTROL, 0);
  EXPECT_TRUE(test::eventually([&] { return (client.pointer().mask & XCB_MOD_MASK_CONTROL) == 0; }));
}

TEST(XForegroundIntegration, ReadsTheActiveWindowsIdentity) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  XClient client(x.display());
  const uint32_t gimp = client.window(0, 0, 100, 100);
  const uint32_t krita = client.window(50, 50, 100, 100);
  client.setString(gimp, "WM_CLASS", XCB_ATOM_STRING, std::string("gimp-2.10\0Gimp-2.10\0", 20));
  client.setString(krita, "WM_CLASS", XCB_ATOM_STRING, std::string("krita\0krita\0", 12));
  client.setString(krita, "_KDE_NET_WM_DESKTOP_FILE", client.atom("UTF8_STRING"), "org.kde.krita.desktop");
  const uint32_t root = client.screen->root;

  XForegroundSource source(x.display());
  EXPECT_EQ(source.frontmostAppId(), std::nullopt);
  client.setWords(root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {gimp});
  EXPECT_EQ(source.frontmostAppId(), "Gimp-2.10");
  client.setWords(root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {krita});
  EXPECT_EQ(source.frontmostAppId(), "org.kde.krita");

  test::EventLog changes;
  auto shared = std::make_shared<XForegroundSource>(x.display());
  {
    ForegroundAppWatcher watcher(0.01, shared);
    watcher.onChange = [&](const std::string& s) { changes.add("[" + s + "]"); };
    watcher.start();
    ASSERT_TRUE(changes.waitFor("[krita]"));
    client.setWords(root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {gimp});
    ASSERT_TRUE(changes.waitFor("[gimp]"));
    client.setWords(root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {0});
    ASSERT_TRUE(changes.waitFor("[]"));
  }
  EXPECT_EQ(changes.lines(), (std::vector<std::string>{"[krita]", "[gimp]", "[]"}));
}

TEST(XWindowActivatorIntegration, FindsTheTopmostWindowUnderAPointAndItsOwner) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  XClient client(x.display());
  const uint32_t below = client.window(0, 0, 400, 400);
  const uint32_t above = client.window(100, 100, 100, 100);
  const uint32_t nameless = client.window(600, 0, 100, 100);
  client.setWords(below, "_NET_WM_PID", XCB_ATOM_CARDINAL, {111});
  client.setWords(above, "_NET_WM_PID", XCB_ATOM_CARDINAL, {222});
  client.setString(above, "WM_CLASS", XCB_ATOM_STRING, std::string("krita\0Krita\0", 12));
  const uint32_t root = client.screen->root;
  client.setWords(root, "_NET_CLIENT_LIST_STACKING", XCB_ATOM_WINDOW, {below, above, nameless});
  client.setWords(root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {below});

  auto windows = XWindowActivator::open(x.display());
  ASSERT_TRUE(windows);
  const auto top = windows->windowAt({150, 150});
  ASSERT_TRUE(top);
  EXPECT_EQ(*top, (WindowActivator::AppWindow{above, 222, "Krita"}));
  EXPECT_EQ(windows->windowAt({20, 20})->pid, 111);
  EXPECT_EQ(windows->windowAt({650, 50}), std::nullopt);  // names no process
  EXPECT_EQ(windows->windowAt({1000, 900}), std::nullopt);
  EXPECT_TRUE(windows->isActive(*windows->windowAt({20, 20})));
  EXPECT_FALSE(windows->isActive(*top));
  EXPECT_EQ(windows->frontWindowOwner(), 111);
  EXPECT_TRUE(windows->activate(*top));  // the request goes out; no manager acts on it here

  const double hz = XDesktopInput::mainDisplayRefreshHz(x.display());
  EXPECT_GE(hz, 60.0);
  EXPECT_LE(hz, 240.0);
  EXPECT_EQ(XDesktopInput::mainDisplayRefreshHz(":99999"), 60.0);
}

TEST(XKeyboardLayoutIntegration, LayoutComesFromTheServersKeymap) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  auto source = XkbKeyboardLayout::desktopSource(x.display());
  EXPECT_TRUE(source->watches());
  const auto map = source->current();
  ASSERT_TRUE(map);
  EXPECT_EQ(map->keyCode(U'a', false), 0);
  EXPECT_EQ(map->keyCode(U'/', false), 44);
  EXPECT_FALSE(source->changed());
  EXPECT_EQ(KeyboardLayoutMap::current(x.display()), map);
  EXPECT_TRUE(KeyComboInjector::ensureAccessibility(false, x.display()));
}

// The sink's positions follow the screen as displays come and go.
TEST(XScreenWatchIntegration, SeesTheScreenGrowAndShrink) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  auto watch = XScreenWatch::open(x.display());
  ASSERT_TRUE(watch);
  const Size start = watch->size();
  ASSERT_GT(start.width, 0);
  XClient other(x.display());
  for (const Size size : {Size{start.width + 1280, start.height}, start}) {
    const auto error = ownReply(xcb_request_check(
        other.conn, xcb_randr_set_screen_size_checked(other.conn, other.screen->root, uint16_t(size.width),
                                                      uint16_t(size.height), 500, 300)));
    ASSERT_EQ(error, nullptr);
    std::optional<Size> seen;
    EXPECT_TRUE(test::eventually([&] {
      if (auto changed = watch->changed()) seen = changed;
      return seen == size;
    })) << size.width;
    EXPECT_EQ(watch->size(), size);
  }
}

TEST(UinputSinkIntegration, CreatesTheThreeDevices) {
  if (!InputPermission::uinputWritable()) GTEST_SKIP() << "/dev/uinput is absent or not writable here";
  std::string why;
  auto sink = UinputInputSink::open(Rect{0, 0, 1920, 1080}, &why);
  if (!sink) GTEST_SKIP() << why;
  for (auto d : {UinputEventPlanner::Device::tablet, UinputEventPlanner::Device::pointer,
                 UinputEventPlanner::Device::keyboard}) {
    EXPECT_FALSE(sink->devnode(d).empty());
  }
  InputEvent enter;
  enter.type = 24;
  enter.intFields = {{37, 1}, {38, 1}};
  EXPECT_TRUE(sink->post(enter));
  InputEvent rotate;
  rotate.type = 29;
  rotate.intFields = {{110, 5}};
  EXPECT_FALSE(sink->post(rotate));
}

}  // namespace
}  // namespace lumenrail
