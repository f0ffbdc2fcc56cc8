#pragma once

// Paints the root window of a test X server through a connection of its own.

#include <xcb/randr.h>
#include <sys/uio.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include "platform/CReply.hpp"
#include "platform/X11Display.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace lumenrail::test {

class RootPainter {
 public:
  explicit RootPainter(const std::string& display) {
    conn_ = X11Connections::connect(display, nullptr);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data->root;
  }
  ~RootPainter() { X11Connections::disconnect(conn_); }

  void fill(uint32_t rgb) {
    xcb_change_window_attributes(conn_, root_, XCB_CW_BACK_PIXEL, &rgb);
    xcb_clear_area(conn_, 0, root_, 0, 0, 0, 0);
    sync();
  }
  void fillRect(uint32_t rgb, int16_t x, int16_t y, uint16_t w, uint16_t h) {
    const xcb_gcontext_t gc = xcb_generate_id(conn_);
    const uint32_t values[] = {rgb, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    xcb_create_gc(conn_, gc, root_, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
    const xcb_rectangle_t r{x, y, w, h};
    xcb_poly_fill_rectangle(conn_, root_, gc, 1, &r);
    xcb_free_gc(conn_, gc);
    sync();
  }
  // Adds a RandR monitor without outputs, as a virtual display would.
  uint32_t addMonitor(const std::string& name, int16_t x, int16_t y, uint16_t w, uint16_t h) {
    const auto atom =
        ownReply(xcb_intern_atom_reply(conn_, xcb_intern_atom(conn_, 0, uint16_t(name.size()), name.c_str()), nullptr));
    const uint32_t id = atom->atom;
    return setMonitor(monitorInfo(id, x, y, w, h, false)) ? id : 0;
  }
  // Sets an existing monitor's place and primary flag, as a layout change
  // would. The X server refuses to set a monitor that exists, so it is
  // deleted and set again, and a client may see it missing in between.
  bool moveMonitor(uint32_t id, int16_t x, int16_t y, uint16_t w, uint16_t h, bool primary) {
    if (!deleteMonitor(id)) return false;
    return setMonitor(monitorInfo(id, x, y, w, h, primary));
  }
  bool deleteMonitor(uint32_t id) { return succeeded(xcb_randr_delete_monitor_checked(conn_, root_, id)); }
  void sync() { ownReply(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr)); }
  bool ok() const { return xcb_connection_has_error(conn_) == 0; }

 private:
  // A millimetre a pixel: the tests look at places, not at sizes on the desk.
  static xcb_randr_monitor_info_t monitorInfo(uint32_t id, int16_t x, int16_t y, uint16_t w, uint16_t h,
                                              bool primary) {
    xcb_randr_monitor_info_t info{};
    info.name = id;
    info.primary = primary ? 1 : 0;
    info.x = x;
    info.y = y;
    info.width = w;
    info.height = h;
    info.width_in_millimeters = w;
    info.height_in_millimeters = h;
    return info;
  }
  bool succeeded(xcb_void_cookie_t cookie) {
    const auto error = ownReply(xcb_request_check(conn_, cookie));
    return error == nullptr;
  }
  // RRSetMonitor without outputs, written out by hand: the generated request
  // leaves part of its I/O vector uninitialised, and the server then drops
  // the monitor now and then.
  bool setMonitor(const xcb_randr_monitor_info_t& info) {
    uint8_t body[8 + sizeof info] = {};
    std::memcpy(body + 4, &root_, 4);
    std::memcpy(body + 8, &info, sizeof info);
    static const xcb_protocol_request_t request = {1, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    iovec parts[3];
    parts[2].iov_base = body;
    parts[2].iov_len = sizeof body;
    return succeeded({xcb_send_request(conn_, XCB_REQUEST_CHECKED, parts + 2, &request)});
  }
  xcb_connection_t* conn_;
  xcb_window_t root_;
};

}  // namespace lumenrail::test
