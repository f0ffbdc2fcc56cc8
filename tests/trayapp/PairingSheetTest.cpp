// The owner's pairing question as a device raises it, on a real X desktop
// (Xvfb and openbox) while the user types in another application's window,
// with the panel docked in a tray or shown as the Lumenrail window: the sheet
// comes up above that window, marked urgent, and leaves the focus there;
// Return, Space and Escape refuse, and so does Return after Tab; only Tab to
// Allow and Space pairs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/CReply.hpp"
#include "support/ChildProcess.hpp"
#include "support/PairingClient.hpp"
#include "support/PrivateSessionBus.hpp"
#include "support/TempFolder.hpp"
#include "support/Waiting.hpp"
#include "support/XServerFixture.hpp"
#include "trayapp/TrayTestUser.hpp"

namespace lumenrail {
namespace {

constexpr xcb_keysym_t kReturn = 0xff0d, kSpace = 0x20, kEscape = 0xff1b, kTab = 0xff09;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The user's eyes and hands on the desktop, through a connection of the test's own.
class Desk {
 public:
  explicit Desk(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
  }
  ~Desk() { xcb_disconnect(c_); }
  bool connected() const { return !xcb_connection_has_error(c_); }
  bool managed() { return !words(root_, "_NET_SUPPORTING_WM_CHECK").empty(); }

  xcb_atom_t atom(const char* name) {
    const auto r = ownReply(xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(strlen(name)), name), nullptr));
    return r ? r->atom : XCB_NONE;
  }
  std::vector<uint32_t> words(xcb_window_t window, const char* property) {
    const auto p = ownReply(
        xcb_get_property_reply(c_, xcb_get_property(c_, 0, window, atom(property), XCB_ATOM_ANY, 0, 1024), nullptr));
    if (!p || p->format != 32) return {};
    const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(p.get()));
    return {v, v + xcb_get_property_value_length(p.get()) / 4};
  }
  bool has(xcb_window_t window, const char* property, const char* value) {
    const auto all = words(window, property);
    return std::find(all.begin(), all.end(), atom(value)) != all.end();
  }
  xcb_window_t active() {
    const auto w = words(root_, "_NET_ACTIVE_WINDOW");
    return w.empty() ? XCB_NONE : w[0];
  }
  // A managed dialog window: the sheet.
  xcb_window_t sheet() {
    for (const uint32_t w : words(root_, "_NET_CLIENT_LIST")) {
      if (has(w, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG")) return w;
    }
    return XCB_NONE;
  }
  // Another application's window, which wants the keys typed into it.
  xcb_window_t openWindow() {
    const xcb_window_t w = xcb_generate_id(c_);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    const uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_KEY_PRESS};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, root_, 0, 0, 1200, 700, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 5, "notes");
    xcb_map_window(c_, w);
    xcb_flush(c_);
    return w;
  }
  // As a pager or task bar asks for the user.
  void activate(xcb_window_t window) {
    xcb_client_message_event_t m{};
    m.response_type = XCB_CLIENT_MESSAGE;
    m.format = 32;
    m.window = window;
    m.type = atom("_NET_ACTIVE_WINDOW");
    m.data.data32[0] = 2;
    xcb_send_event(c_, 0, root_, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&m));
    xcb_flush(c_);
  }
  void press(xcb_keysym_t sym) {
    const xcb_keycode_t code = keycode(sym);
    xcb_test_fake_input(c_, XCB_KEY_PRESS, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(c_, XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c_);
  }
  // True once `window` has received that key.
  bool received(xcb_window_t window, xcb_keysym_t sym) {
    const xcb_keycode_t code = keycode(sym);
    return test::eventually([&] {
      bool seen = false;
      while (auto* e = xcb_poll_for_event(c_)) {
        const auto* k = reinterpret_cast<const xcb_key_press_event_t*>(e);
        seen = seen || ((e->response_type & 0x7f) == XCB_KEY_PRESS && k->event == window && k->detail == code);
        std::free(e);
      }
      return seen;
    });
  }

 private:
  xcb_keycode_t keycode(xcb_keysym_t sym) {
    const xcb_setup_t* setup = xcb_get_setup(c_);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    const auto map = ownReply(xcb_get_keyboard_mapping_reply(
        c_, xcb_get_keyboard_mapping(c_, setup->min_keycode, uint8_t(count)), nullptr));
    const xcb_keysym_t* syms = map ? xcb_get_keyboard_mapping_keysyms(map.get()) : nullptr;
    for (int i = 0; syms && i < count; ++i) {
      if (syms[i * map->keysyms_per_keycode] == sym) return xcb_keycode_t(setup->min_keycode + i);
    }
    return 0;
  }

  xcb_connection_t* c_;
  xcb_window_t root_ = XCB_NONE;
};

void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!test::eventually([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; })) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

TEST(PairingSheetAcceptance, ADevicesQuestionTakesNoFocusAndOnlyADeliberateChoiceAllows) {
  if (::access("/usr/bin/openbox", X_OK) != 0) GTEST_SKIP() << "openbox is not installed";
  for (const bool tray : {true, false}) {
    SCOPED_TRACE(tray ? "docked in a tray" : "the Lumenrail window");
    test::PrivateXServer xvfb;
    if (!xvfb.running()) GTEST_SKIP() << xvfb.whyNot();
    test::PrivateSessionBus bus;
    if (!bus.running()) GTEST_SKIP() << bus.whyNot();
    test::TempFolder dir("lumenrail-sheet");
    const std::vector<std::string> env = test::userEnvironment(dir, xvfb.display(), bus);
    ASSERT_FALSE(env.empty());
    Desk desk(xvfb.display());
    ASSERT_TRUE(desk.connected());
    std::vector<pid_t> started;
    started.push_back(test::spawnLogged({"/usr/bin/openbox", "--sm-disable"}, env, dir.path("wm.log"), false, true));
    ASSERT_TRUE(test::eventually([&] { return desk.managed(); })) << readFile(dir.path("wm.log"));
    if (tray) {
      started.push_back(test::spawnLogged({"/usr/bin/trayer", "--edge", "bottom", "--widthtype", "request"}, env,
                                          dir.path("trayer.log"), false, true));
    }
    const std::string out = dir.path("host.out");
    started.push_back(test::spawnLogged({LUMENRAILHOST_BINARY, "--menubar", "--port", "0", "--no-secure", "--pair"},
                                        env, out, false, true));
    uint16_t port = 0;
    ASSERT_TRUE(test::eventually([&] {
      const std::string said = readFile(out);
      std::smatch found;
      if (!std::regex_search(said, found, std::regex(R"(\[wire\] listening on [0-9.]+:([0-9]+))"))) return false;
      port = uint16_t(std::stoi(found[1]));
      return true;
    }, 3 * test::kDeadlineNs)) << readFile(out);
    const xcb_window_t notes = desk.openWindow();

    struct Round {
      std::vector<xcb_keysym_t> keys;
      bool pairs;
    };
    const Round rounds[] = {{{kReturn}, false}, {{kSpace}, false}, {{kEscape}, false},
                            {{kTab, kReturn}, false}, {{kTab, kSpace}, true}};
    uint32_t from = INADDR_LOOPBACK;
    for (const Round& round : rounds) {
      desk.activate(notes);
      ASSERT_TRUE(test::eventually([&] { return desk.active() == notes; }));
      test::PairingClient device(port, "Tab", true, Ed25519PrivateKey::generate(), ++from);
      ASSERT_TRUE(device.prove());
      xcb_window_t sheet = XCB_NONE;
      ASSERT_TRUE(test::eventually([&] { return (sheet = desk.sheet()) != XCB_NONE; })) << readFile(out);
      // Up above the window the user types in, marked urgent; the keys still go there.
      EXPECT_TRUE(test::eventually([&] { return desk.has(sheet, "_NET_WM_STATE", "_NET_WM_STATE_DEMANDS_ATTENTION"); }));
      EXPECT_TRUE(desk.has(sheet, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"));
      desk.press(kReturn);
      EXPECT_TRUE(desk.received(notes, kReturn));
      EXPECT_EQ(desk.active(), notes);
      // The user turns to the sheet and answers with the keyboard alone.
      desk.activate(sheet);
      ASSERT_TRUE(test::eventually([&] { return desk.active() == sheet; }));
      for (const xcb_keysym_t key : round.keys) desk.press(key);
      if (round.pairs) {
        device.keyPaired();
        EXPECT_TRUE(device.readSealed().has_value()) << readFile(out);
      } else {
        EXPECT_TRUE(device.waitClosed()) << readFile(out);
        EXPECT_TRUE(test::eventually([&] {
          return readFile(out).find(device.fingerprint() + " denied by the owner") != std::string::npos;
        })) << readFile(out);
      }
      EXPECT_TRUE(test::eventually([&] { return desk.sheet() == XCB_NONE; }));
    }
    for (auto it = started.rbegin(); it != started.rend(); ++it) stop(*it);
  }
}

}  // namespace
}  // namespace lumenrail
