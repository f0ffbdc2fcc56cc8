#include "desktop/x11/XScreenWatch.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>

#include "platform/CReply.hpp"

namespace lumenrail {

std::unique_ptr<XScreenWatch> XScreenWatch::open(const std::string& display) {
  auto x = std::make_unique<XInputConnection>(display);
  if (!x->ok()) return nullptr;
  xcb_connection_t* c = x->conn();
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
  if (!ext || !ext->present) return nullptr;
  const auto version = ownReply(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 2), nullptr));
  const auto error =
      ownReply(xcb_request_check(c, xcb_randr_select_input_checked(c, x->root(), XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE)));
  if (error) return nullptr;
  return std::unique_ptr<XScreenWatch>(new XScreenWatch(std::move(x), ext->first_event));
}

XScreenWatch::XScreenWatch(std::unique_ptr<XInputConnection> x, uint8_t firstEvent)
    : x_(std::move(x)),
      firstEvent_(firstEvent),
      size_{static_cast<double>(x_->screenWidth()), static_cast<double>(x_->screenHeight())} {}

std::optional<Size> XScreenWatch::changed() {
  const Size before = size_;
  while (const auto event = ownReply(xcb_poll_for_event(x_->conn()))) {
    if ((event->response_type & 0x7f) == firstEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
      const auto* change = reinterpret_cast<const xcb_randr_screen_change_notify_event_t*>(event.get());
      // The event gives the unrotated size; a quarter turn swaps the root's sides.
      const bool quarter = change->rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270);
      Size size{static_cast<double>(quarter ? change->height : change->width),
                static_cast<double>(quarter ? change->width : change->height)};
      if (size.width > 0 && size.height > 0) size_ = size;
    }
  }
  if (size_ == before) return std::nullopt;
  return size_;
}

}  // namespace lumenrail
