#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "input/ForegroundAppWatcher.hpp"
#include "input/InputEventSink.hpp"
#include "input/WindowActivator.hpp"
#include "input/XInputConnection.hpp"

namespace lumenrail {

// The frontmost application from EWMH: the active window's application id
// (_GTK_APPLICATION_ID), its desktop file (_KDE_NET_WM_DESKTOP_FILE, without
// ".desktop"), else its WM_CLASS class. Reconnects after the server goes away.
class XForegroundSource final : public ForegroundAppSource {
 public:
  explicit XForegroundSource(std::string display) : display_(std::move(display)) {}
  std::optional<std::string> frontmostAppId() override;

 private:
  std::string display_;
  std::unique_ptr<XInputConnection> x_;
};

// Windows under the pen from _NET_CLIENT_LIST_STACKING, activation through a
// _NET_ACTIVE_WINDOW request to the window manager. Called from several
// injector queues; one lock around the connection.
class XWindowActivator final : public WindowActivator {
 public:
  // Nothing when the display cannot be opened.
  static std::shared_ptr<XWindowActivator> open(const std::string& display);

  std::optional<AppWindow> windowAt(Point point) override;
  bool isActive(const AppWindow& window) override;
  bool activate(const AppWindow& window) override;
  std::optional<int32_t> frontWindowOwner() override;

 private:
  explicit XWindowActivator(std::unique_ptr<XInputConnection> x) : x_(std::move(x)) {}
  uint32_t activeWindow();
  std::optional<int32_t> pidOf(uint32_t window);

  std::mutex lock_;
  std::unique_ptr<XInputConnection> x_;
};

namespace XDesktopInput {

// The refresh rate of the primary RandR output (else the first active CRTC),
// clamped to 60 ... 240; 60 when none is known.
double mainDisplayRefreshHz(const std::string& display);

// The sink for this desktop: uinput when /dev/uinput is writable (its
// positions follow the X screen's size), else XTest on the display,
// else nothing. Says in `log` which one it chose and why.
std::shared_ptr<InputEventSink> openSink(const std::string& display, Log::Sink log);

}  // namespace XDesktopInput

}  // namespace lumenrail
