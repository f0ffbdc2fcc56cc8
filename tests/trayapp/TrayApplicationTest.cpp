// The tray application as a user runs it: installed into a prefix, started
// from there on a private X server with a real XEmbed tray (trayer) and a
// private session bus; a client on loopback gets the stream, a second start
// refuses, SIGTERM stops serving and leaves no virtual monitor behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

#include "desktop/gnome/MutterCaptureSource.hpp"
#include "desktop/x11/X11DisplayConfiguration.hpp"
#include "platform/CReply.hpp"
#include "support/ChildProcess.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/HeadlessMutter.hpp"
#include "support/HostProcess.hpp"
#include "support/PrivateSessionBus.hpp"
#include "support/StrangerUid.hpp"
#include "support/TempFolder.hpp"
#include "support/UnixListener.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "support/XServerFixture.hpp"
#include "trayapp/TrayTestUser.hpp"

// After the host's headers: Qt's keyword macros clash with some of their names.
#include <QImage>
#include <QLibraryInfo>

namespace lumenrail {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Waits for a child with a deadline: its exit status, or -1.
int waitExit(pid_t pid, uint64_t timeoutNs = test::kDeadlineNs * 3) {
  int status = -1;
  const bool done = test::eventually(
      [&] {
        int s = 0;
        if (::waitpid(pid, &s, WNOHANG) != pid) return false;
        status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
        return true;
      },
      timeoutNs);
  if (!done) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return status;
}

// The build installed into `prefix` as a user installs it; its output goes to
// install.log in `dir`. The installer's exit status.
int installInto(const std::string& prefix, const test::TempFolder& dir) {
  return waitExit(test::spawnLogged({LUMENRAIL_CMAKE, "--install", LUMENRAIL_BUILD_DIR, "--prefix", prefix}, {},
                                    dir.path("install.log"), false));
}

// A window that the tray has taken in: it carries _XEMBED_INFO and is no
// longer a child of the root window. XCB_NONE when there is none.
xcb_window_t embeddedIconUnder(xcb_connection_t* c, xcb_window_t window, xcb_window_t root, xcb_atom_t xembedInfo) {
  const auto tree = ownReply(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
  if (!tree) return XCB_NONE;
  xcb_window_t found = XCB_NONE;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()) && found == XCB_NONE; ++i) {
    if (window != root) {
      const auto p = ownReply(
          xcb_get_property_reply(c, xcb_get_property(c, 0, children[i], xembedInfo, XCB_ATOM_ANY, 0, 2), nullptr));
      if (p && p->type != XCB_NONE) found = children[i];
    }
    if (found == XCB_NONE) found = embeddedIconUnder(c, children[i], root, xembedInfo);
  }
  return found;
}

// A mapped, override-redirect top-level window of that width: the panel.
bool popupOfWidth(xcb_connection_t* c, xcb_window_t root, uint16_t width) {
  const auto tree = ownReply(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
  if (!tree) return false;
  bool found = false;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()) && !found; ++i) {
    const auto a = ownReply(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
    const auto g = ownReply(xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), nullptr));
    found = a && g && a->map_state == XCB_MAP_STATE_VIEWABLE && a->override_redirect && g->width == width;
  }
  return found;
}

void clickAt(xcb_connection_t* c, xcb_window_t root, int16_t x, int16_t y) {
  xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, x, y, 0);
  xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_flush(c);
}

xcb_atom_t atom(xcb_connection_t* c, const std::string& name) {
  const auto r =
      ownReply(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.c_str()), nullptr));
  const xcb_atom_t a = r ? r->atom : XCB_NONE;
  return a;
}

// The installed tree carries the input grant, and its one command installs it:
// the desktop's user gets /dev/uinput through uaccess, never a group that can
// read every keyboard.
TEST(TrayApplicationAcceptance, InstalledTreeCarriesTheInputGrantAndItsCommandInstallsIt) {
  test::TempFolder dir("lumenrail-grant");
  const std::string prefix = dir.path("prefix");
  ASSERT_EQ(installInto(prefix, dir), 0) << readFile(dir.path("install.log"));
  const std::string rule = readFile(prefix + "/lib/udev/rules.d/70-lumenrail-uinput.rules");
  EXPECT_NE(rule.find("TAG+=\"uaccess\""), std::string::npos) << rule;
  EXPECT_NE(rule.find("static_node=uinput"), std::string::npos) << rule;
  EXPECT_EQ(rule.find("GROUP="), std::string::npos) << rule;
  // Phones alone, through uaccess: no group, no whole vendor.
  const std::string accessory = readFile(prefix + "/lib/udev/rules.d/70-lumenrail-accessory.rules");
  EXPECT_EQ(accessory.find("GROUP="), std::string::npos) << accessory;
  EXPECT_EQ(accessory.find("MODE="), std::string::npos) << accessory;
  std::istringstream lines(accessory);
  int matches = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    ++matches;
    EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
    EXPECT_TRUE(line.find("ATTR{idProduct}==\"2d0[0-5]\"") != std::string::npos ||
                line.find("ENV{ID_USB_INTERFACES}==") != std::string::npos)
        << "a whole vendor: " << line;
  }
  EXPECT_EQ(matches, 3);
  EXPECT_EQ(readFile(prefix + "/lib/modules-load.d/lumenrail-uinput.conf"), "uinput\n");

  // Only its own files, by name: a rule dropped beside them stays there.
  std::ofstream(prefix + "/share/lumenrail/udev/99-extra.rules") << "RUN+=\"/bin/sh -c id\"\n";
  const auto grantInto = [&](const std::string& root, const std::string& log) {
    return waitExit(test::spawnLogged({prefix + "/libexec/lumenrail/grant-input-access", "--root", root}, {},
                                      dir.path(log), false));
  };
  const std::string root = dir.path("root");
  ASSERT_EQ(grantInto(root, "grant.log"), 0) << readFile(dir.path("grant.log"));
  EXPECT_EQ(readFile(root + "/etc/udev/rules.d/70-lumenrail-uinput.rules"), rule);
  EXPECT_EQ(readFile(root + "/etc/udev/rules.d/70-lumenrail-accessory.rules"), accessory);
  EXPECT_EQ(readFile(root + "/etc/modules-load.d/lumenrail-uinput.conf"), "uinput\n");
  std::vector<std::string> installed;
  for (const auto& e : std::filesystem::directory_iterator(root + "/etc/udev/rules.d")) {
    installed.push_back(e.path().filename().string());
  }
  std::sort(installed.begin(), installed.end());
  EXPECT_EQ(installed, (std::vector<std::string>{"70-lumenrail-accessory.rules", "70-lumenrail-uinput.rules"}));

  // A link on the way (DIR/etc pointing elsewhere, or a link where a rule goes) is refused.
  const std::string elsewhere = dir.path("elsewhere");
  std::filesystem::create_directories(elsewhere);
  const std::string linked = dir.path("linked");
  std::filesystem::create_directories(linked);
  std::filesystem::create_directory_symlink(elsewhere, linked + "/etc");
  const std::string linkedRule = dir.path("linked-rule");
  std::filesystem::create_directories(linkedRule + "/etc/udev/rules.d");
  std::filesystem::create_symlink(elsewhere + "/target", linkedRule + "/etc/udev/rules.d/70-lumenrail-uinput.rules");
  for (const std::string& refused : {linked, linkedRule}) {
    EXPECT_EQ(grantInto(refused, "refused.log"), 1) << readFile(dir.path("refused.log"));
    EXPECT_NE(readFile(dir.path("refused.log")).find("is a symbolic link — nothing installed"), std::string::npos)
        << readFile(dir.path("refused.log"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
}

// A shared runtime folder (mode 1777) holding another instance's lock, held
// and naming pid 1, and its socket: the tray neither believes it nor asks it
// anything, and keeps its own lock in the private state folder.
TEST(TrayApplicationAcceptance, AStrangersLockAndSocketInASharedRuntimeFolderAreNotObeyed) {
  test::TempFolder dir("lumenrail-shared-run");
  const std::string runtime = dir.path("runtime");
  std::filesystem::create_directory(runtime);
  ASSERT_EQ(::chmod(runtime.c_str(), 01777), 0);
  const auto stranger = test::unknownUid();
  const std::string lockPath = runtime + "/lumenrail-host.lock";
  std::ofstream(lockPath) << "1\n";
  const int lock = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  const std::string socketPath = runtime + "/lumenrail-host.sock";
  const int listener = test::listenUnix(socketPath);
  ASSERT_GE(listener, 0);
  if (stranger) {
    ASSERT_EQ(::chown(lockPath.c_str(), *stranger, *stranger), 0);
    ASSERT_EQ(::chown(socketPath.c_str(), *stranger, *stranger), 0);
  }

  // No display: the tray stops right after claiming its instance.
  test::HostProcess host(LUMENRAILHOST_BINARY, {"--menubar"},
                         {"HOME=" + dir.path("home"), "XDG_CONFIG_HOME=" + dir.path("config"),
                          "XDG_STATE_HOME=" + dir.path("state"), "XDG_RUNTIME_DIR=" + runtime, "DISPLAY=:987654",
                          "QT_QPA_PLATFORM=xcb"});
  ASSERT_TRUE(host.started());
  EXPECT_EQ(host.waitExit(), 2) << host.output();
  EXPECT_EQ(host.output().find("already running"), std::string::npos) << host.output();
  EXPECT_NE(host.output().find("[app] WARN: XDG_RUNTIME_DIR is not this user's alone (" + runtime +
                               " may be written by other users (mode 1777)"),
            std::string::npos)
      << host.output();
  EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << "it asked the stranger's socket to show";
  EXPECT_TRUE(std::filesystem::exists(dir.path("state") + "/Lumenrail/host.lock"));
  ::close(listener);
  ::close(lock);
}

// A mapped top-level window named "Lumenrail" (WM_NAME) that no taskbar is
// told to skip; XCB_NONE when there is none.
xcb_window_t listedWindowNamed(xcb_connection_t* c, xcb_window_t root, const std::string& name) {
  const auto tree = ownReply(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
  if (!tree) return XCB_NONE;
  xcb_window_t found = XCB_NONE;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()) && found == XCB_NONE; ++i) {
    const auto a = ownReply(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
    const auto n = ownReply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 64), nullptr));
    const bool named = n && std::string(static_cast<const char*>(xcb_get_property_value(n.get())),
                                        size_t(xcb_get_property_value_length(n.get()))) == name;
    if (a && named && a->map_state == XCB_MAP_STATE_VIEWABLE && !a->override_redirect) found = children[i];
  }
  return found;
}

uint32_t propertyLength(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
  const auto p =
      ownReply(xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, XCB_ATOM_ANY, 0, 0), nullptr));
  const uint32_t length = p ? p->bytes_after : 0;
  return length;
}

// Stock GNOME has no tray: the panel is a window the desktop lists, with the
// application's icon; closing it keeps serving and a second start brings it back.
TEST(TrayApplicationAcceptance, WithoutATrayThePanelIsAListedWindowThatASecondStartRaises) {
  test::PrivateXServer xvfb;
  if (!xvfb.running()) GTEST_SKIP() << xvfb.whyNot();
  test::PrivateSessionBus bus;
  if (!bus.running()) GTEST_SKIP() << bus.whyNot();
  test::TempFolder dir("lumenrail-notray");
  const std::string prefix = dir.path("prefix");
  ASSERT_EQ(installInto(prefix, dir), 0) << readFile(dir.path("install.log"));
  // The entry names the icon, and hicolor holds it as SVG and in PNG sizes.
  EXPECT_NE(readFile(prefix + "/share/applications/lumenrail-host.desktop").find("\nIcon=lumenrail-host\n"),
            std::string::npos);
  EXPECT_FALSE(readFile(prefix + "/share/icons/hicolor/scalable/apps/lumenrail-host.svg").empty());
  for (const char* size : {"16x16", "48x48", "256x256"}) {
    EXPECT_EQ(readFile(prefix + "/share/icons/hicolor/" + size + "/apps/lumenrail-host.png").substr(1, 3), "PNG")
        << size;
  }

  const std::vector<std::string> env = test::userEnvironment(dir, xvfb.display(), bus);
  ASSERT_FALSE(env.empty());
  // "--menubar" takes the instance lock too.
  const pid_t host = test::spawnLogged({prefix + "/bin/lumenrailhost", "--menubar", "--port", "0", "--no-secure",
                                        "--no-pair"},
                                       env, dir.path("host.out"), false);
  ASSERT_GT(host, 0);
  xcb_connection_t* x = xcb_connect(xvfb.display().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(x));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
  xcb_window_t window = XCB_NONE;
  ASSERT_TRUE(test::eventually([&] { return (window = listedWindowNamed(x, root, "Lumenrail")) != XCB_NONE; },
                               3 * test::kDeadlineNs))
      << readFile(dir.path("host.out"));
  EXPECT_GT(propertyLength(x, window, atom(x, "_NET_WM_ICON")), 0u) << "the window has no icon";
  // Docks tie the window to its launcher by the class half of WM_CLASS.
  const auto cls = ownReply(
      xcb_get_property_reply(x, xcb_get_property(x, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64), nullptr));
  ASSERT_TRUE(cls);
  const std::string both(static_cast<const char*>(xcb_get_property_value(cls.get())),
                         size_t(xcb_get_property_value_length(cls.get())));
  const std::string wmClass = both.substr(both.find('\0') + 1).c_str();
  EXPECT_NE(readFile(prefix + "/share/applications/lumenrail-host.desktop").find("\nStartupWMClass=" + wmClass + "\n"),
            std::string::npos)
      << wmClass;
  const xcb_atom_t state = atom(x, "_NET_WM_STATE");
  const auto s =
      ownReply(xcb_get_property_reply(x, xcb_get_property(x, 0, window, state, XCB_ATOM_ATOM, 0, 16), nullptr));
  const xcb_atom_t skip = atom(x, "_NET_WM_STATE_SKIP_TASKBAR");
  for (int i = 0; s && i < xcb_get_property_value_length(s.get()) / 4; ++i) {
    EXPECT_NE(static_cast<const xcb_atom_t*>(xcb_get_property_value(s.get()))[i], skip);
  }
  EXPECT_NE(readFile(dir.path("host.out")).find("[menubar] WARN: no system tray yet — showing the Lumenrail window"),
            std::string::npos);
  // The command-line defaults serve open, and it says so before it listens.
  std::string said;
  EXPECT_TRUE(test::eventually([&] {
    said = readFile(dir.path("host.out"));
    return said.find("[wire] listening on") != std::string::npos;
  }, 3 * test::kDeadlineNs)) << said;
  EXPECT_LT(said.find("[menubar] WARN: no pairing and no key — anyone on the network can watch and control"),
            said.find("[wire] listening on"))
      << said;

  // Closed as a window manager closes it: hidden, the host goes on.
  xcb_client_message_event_t close{};
  close.response_type = XCB_CLIENT_MESSAGE;
  close.format = 32;
  close.window = window;
  close.type = atom(x, "WM_PROTOCOLS");
  close.data.data32[0] = atom(x, "WM_DELETE_WINDOW");
  close.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(x, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&close));
  xcb_flush(x);
  ASSERT_TRUE(test::eventually([&] { return listedWindowNamed(x, root, "Lumenrail") == XCB_NONE; }));

  const pid_t second = test::spawnLogged({prefix + "/bin/lumenrailhost"}, env, dir.path("second.out"), false);
  EXPECT_EQ(waitExit(second), 0);
  EXPECT_NE(readFile(dir.path("second.out")).find("[app] asked it to show its window"), std::string::npos)
      << readFile(dir.path("second.out"));
  EXPECT_TRUE(test::eventually([&] { return listedWindowNamed(x, root, "Lumenrail") != XCB_NONE; }))
      << "a second start did not bring the window back";

  // A tray that starts later (the panel after an autostart): the icon docks
  // in it, and the window the second start asked for stays.
  const pid_t tray = test::spawnLogged({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype",
                                        "request", "--height", "32", "--transparent", "false"},
                                       {"DISPLAY=" + xvfb.display()}, dir.path("trayer.log"), false);
  if (tray > 0) {
    EXPECT_TRUE(test::eventually([&] { return embeddedIconUnder(x, root, root, atom(x, "_XEMBED_INFO")) != XCB_NONE; },
                                 3 * test::kDeadlineNs))
        << "the icon did not dock in a tray that came later\n" << readFile(dir.path("host.out"));
    // The host notices at its next look.
    EXPECT_TRUE(test::eventually(
        [&] {
          return readFile(dir.path("host.out")).find("[menubar] a system tray appeared — the icon is in it") !=
                 std::string::npos;
        },
        3 * test::kDeadlineNs));
    EXPECT_TRUE(test::eventually([&] { return embeddedIconUnder(x, root, root, atom(x, "_XEMBED_INFO")) != XCB_NONE; }))
        << "docking again lost the icon";
    // Heard as the tray announced itself, not only by looking again.
    EXPECT_NE(readFile(dir.path("host.out")).find("[menubar] a tray announced itself"), std::string::npos);
    EXPECT_NE(listedWindowNamed(x, root, "Lumenrail"), XCB_NONE);
  }

  ::kill(host, SIGTERM);
  EXPECT_EQ(waitExit(host), 0);
  xcb_disconnect(x);
  if (tray > 0) {
    ::kill(tray, SIGTERM);
    waitExit(tray);
  }
}

TEST(TrayApplicationAcceptance, InstalledStartEmbedsItsIconServesRefusesASecondInstanceAndStopsOnSigterm) {
  if (::access("/usr/bin/trayer", X_OK) != 0) GTEST_SKIP() << "trayer is not installed";
  // A growable screen shows that the virtual monitor goes with the host; Xvfb
  // where the headless Xorg cannot start.
  std::unique_ptr<test::DummyXorgServer> xorg = std::make_unique<test::DummyXorgServer>();
  std::unique_ptr<test::PrivateXServer> xvfb;
  std::string display = xorg->running() ? xorg->display() : "";
  if (display.empty()) {
    xvfb = std::make_unique<test::PrivateXServer>();
    if (!xvfb->running()) GTEST_SKIP() << xvfb->whyNot();
    display = xvfb->display();
  }
  test::PrivateSessionBus bus;
  if (!bus.running()) GTEST_SKIP() << bus.whyNot();

  test::TempFolder dir("lumenrail-tray");
  const std::string prefix = dir.path("prefix");
  ASSERT_EQ(installInto(prefix, dir), 0) << readFile(dir.path("install.log"));
  ASSERT_FALSE(readFile(prefix + "/share/applications/lumenrail-host.desktop").empty());

  const pid_t tray = test::spawnLogged({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype",
                                        "request", "--height", "32", "--transparent", "false"},
                                       {"DISPLAY=" + display}, dir.path("trayer.log"), false);
  ASSERT_GT(tray, 0);
  xcb_connection_t* x = xcb_connect(display.c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(x));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
  const xcb_atom_t traySelection = atom(x, "_NET_SYSTEM_TRAY_S0");
  ASSERT_TRUE(test::eventually([&] {
    const auto r = ownReply(xcb_get_selection_owner_reply(x, xcb_get_selection_owner(x, traySelection), nullptr));
    const bool owned = r && r->owner != XCB_NONE;
    return owned;
  })) << "trayer took no tray selection";
  const size_t displaysBefore = X11DisplayConfiguration::open(display)->activeDisplays().size();

  const std::vector<std::string> env = test::userEnvironment(dir, display, bus);
  ASSERT_FALSE(env.empty());
  const std::string hostLog = dir.path("state") + "/Lumenrail/host.log";
  const pid_t host = test::spawnLogged({prefix + "/bin/lumenrailhost", "--port", "0", "--no-secure", "--no-pair"}, env, dir.path("host.out"), false);
  ASSERT_GT(host, 0);

  std::smatch listening;
  std::string log;
  const std::regex listen(R"(\[wire\] listening on [0-9.]+:([0-9]+))");
  ASSERT_TRUE(test::eventually([&] {
    log = readFile(hostLog);
    return std::regex_search(log, listening, listen);
  }, 3 * test::kDeadlineNs)) << log << readFile(dir.path("host.out"));
  EXPECT_NE(log.find("== lumenrail Linux host — tray application =="), std::string::npos);
  EXPECT_EQ(log.find("WARN: this desktop has no system tray"), std::string::npos);
  if (!xvfb) {
    EXPECT_NE(log.find("[m2] virtual display "), std::string::npos) << "extend mode made no virtual monitor";
    EXPECT_GT(X11DisplayConfiguration::open(display)->activeDisplays().size(), displaysBefore);
  }
  xcb_window_t icon = XCB_NONE;
  EXPECT_TRUE(test::eventually([&] { return (icon = embeddedIconUnder(x, root, root, atom(x, "_XEMBED_INFO"))) != XCB_NONE; }))
      << "no icon embedded in the tray";
  if (icon != XCB_NONE) {
    // A click on the icon opens the panel; a second one closes it.
    const auto g = ownReply(xcb_get_geometry_reply(x, xcb_get_geometry(x, icon), nullptr));
    const auto at =
        ownReply(xcb_translate_coordinates_reply(x, xcb_translate_coordinates(x, icon, root, 0, 0), nullptr));
    ASSERT_TRUE(g && at);
    const auto cx = int16_t(at->dst_x + g->width / 2), cy = int16_t(at->dst_y + g->height / 2);
    clickAt(x, root, cx, cy);
    EXPECT_TRUE(test::eventually([&] { return popupOfWidth(x, root, 360); })) << "the click opened no panel";
    clickAt(x, root, cx, cy);
    EXPECT_TRUE(test::eventually([&] { return !popupOfWidth(x, root, 360); })) << "a second click left the panel open";
  }

  test::WireTestClient client(static_cast<uint16_t>(std::stoi(listening[1])));
  ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
  ASSERT_TRUE(client.readUntil(test::Code::frame).has_value());

  const pid_t second = test::spawnLogged({prefix + "/bin/lumenrailhost"}, env, dir.path("second.out"), false);
  EXPECT_EQ(waitExit(second), 0);
  // Said on the terminal of the second start, and the first one was asked to show itself.
  const std::string secondSaid = readFile(dir.path("second.out"));
  EXPECT_NE(secondSaid.find("[app] another Lumenrail Host is already running (pid " + std::to_string(host) +
                            ") — leaving it be, exiting"),
            std::string::npos)
      << secondSaid;
  EXPECT_NE(secondSaid.find("[app] asked it to show its window"), std::string::npos) << secondSaid;

  ::kill(host, SIGTERM);
  EXPECT_EQ(waitExit(host), 0);
  log = readFile(hostLog);
  EXPECT_NE(log.find("[menubar] SIGTERM — stopping"), std::string::npos);
  EXPECT_NE(log.find("[menubar] stopped"), std::string::npos) << log;
  EXPECT_EQ(X11DisplayConfiguration::open(display)->activeDisplays().size(), displaysBefore);

  xcb_disconnect(x);
  ::kill(tray, SIGTERM);
  waitExit(tray);
}

}  // namespace
}  // namespace lumenrail

namespace lumenrail {
namespace {

// The newest frame of a screen cast, for the test to look at.
struct LatestFrame {
  std::mutex mutex;
  std::condition_variable cv;
  PixelBufferRef frame;
  PixelBufferRef waitFor(const std::function<bool(const PixelBuffer&)>& pred) {
    std::unique_lock lock(mutex);
    PixelBufferRef found;
    cv.wait_for(lock, std::chrono::nanoseconds(3 * test::kDeadlineNs), [&] {
      if (frame && pred(*frame)) found = frame;
      return found != nullptr;
    });
    return found;
  }
};

int64_t changedPixels(const PixelBuffer& a, const PixelBuffer& b) {
  int64_t n = 0;
  for (int64_t y = 0; y < a.height(); ++y) {
    const uint8_t* pa = a.planeData(0) + y * a.bytesPerRow(0);
    const uint8_t* pb = b.planeData(0) + y * b.bytesPerRow(0);
    for (int64_t x = 0; x < a.width(); ++x) n += std::memcmp(pa + x * 4, pb + x * 4, 3) != 0;
  }
  return n;
}

void writePng(const PixelBuffer& b, const std::string& path) {
  QImage image(b.planeData(0), int(b.width()), int(b.height()), int(b.bytesPerRow(0)), QImage::Format_RGB32);
  image.save(QString::fromStdString(path));
}

// On GNOME Wayland the windows are the compositor's own clients: this Mutter
// runs without Xwayland and the user has no DISPLAY, and the Lumenrail window
// shows in a screen cast of the desktop's monitor taken by the test itself.
TEST(TrayApplicationAcceptance, OnGnomeWaylandTheWindowIsAWaylandClientSeenInAScreenCast) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  const std::string platforms = QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() + "/platforms";
  if (!std::filesystem::exists(platforms + "/libqwayland-generic.so")) {
    GTEST_SKIP() << "Qt's Wayland platform is not installed (qt6-wayland)";
  }
  test::TempFolder dir("lumenrail-wayland-tray");

  MutterCaptureSource::Config config;
  config.width = 960;
  config.height = 540;
  config.fps = 30;
  config.pixelFormat = PixelFormat::bgra;
  config.busAddress = desktop.busAddress();
  config.pipewireRemote = desktop.pipewireRemote();
  MutterCaptureSource cast(config);
  LatestFrame latest;
  cast.onFrame = [&latest](const PixelBufferRef& frame, uint64_t) {
    std::lock_guard guard(latest.mutex);
    latest.frame = frame;
    latest.cv.notify_all();
  };
  cast.start();
  const PixelBufferRef bare = latest.waitFor([](const PixelBuffer&) { return true; });
  ASSERT_NE(bare, nullptr) << desktop.logs();

  std::vector<std::string> env = test::userFolders(dir);
  ASSERT_FALSE(env.empty());
  for (const std::string& entry : desktop.clientEnvironment()) env.push_back(entry);
  env.push_back("QT_QPA_PLATFORM");  // unset: the application chooses
  const pid_t host = test::spawnLogged({LUMENRAILHOST_BINARY, "--menubar", "--port", "0", "--no-secure", "--no-pair"},
                                       env, dir.path("host.out"), false);
  ASSERT_GT(host, 0);
  EXPECT_TRUE(test::eventually(
      [&] { return readFile(dir.path("host.out")).find("[app] windows on Qt's wayland platform") != std::string::npos; },
      3 * test::kDeadlineNs))
      << readFile(dir.path("host.out"));
  // The window covers a good part of the 1920x1080 monitor, seen at half size.
  const PixelBufferRef shown = latest.waitFor([&](const PixelBuffer& b) { return changedPixels(*bare, b) > 20000; });
  EXPECT_NE(shown, nullptr) << "no window appeared in the screen cast\n" << readFile(dir.path("host.out"));
  if (shown) {
    const char* keep = std::getenv("LUMENRAIL_UI_SNAPSHOTS");
    writePng(*shown, (keep ? std::string(keep) : dir.path(".")) + "/wayland-tray-window.png");
  }
  EXPECT_TRUE(test::eventually(
      [&] { return readFile(dir.path("host.out")).find("[wire] listening on") != std::string::npos; },
      3 * test::kDeadlineNs))
      << readFile(dir.path("host.out"));
  cast.stop();
  ::kill(host, SIGTERM);
  EXPECT_EQ(waitExit(host), 0) << readFile(dir.path("host.out"));
  EXPECT_EQ(readFile(dir.path("host.out")).find("X display"), std::string::npos) << readFile(dir.path("host.out"));
  // Qt's XEmbed fallback has no business here: it warns of a signal only X11 has.
  EXPECT_EQ(readFile(dir.path("host.out")).find("No such signal"), std::string::npos) << readFile(dir.path("host.out"));
}

}  // namespace
}  // namespace lumenrail
