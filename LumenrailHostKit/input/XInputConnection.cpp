#include "input/XInputConnection.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

#include "platform/CReply.hpp"
#include "platform/X11Display.hpp"

namespace lumenrail {

XInputConnection::XInputConnection(const std::string& display) {
  int screenIndex = 0;
  conn_ = X11Connections::connect(display, &screenIndex);
  if (xcb_connection_has_error(conn_)) return;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn_));
  for (int i = 0; i < screenIndex && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) return;
  root_ = it.data->root;
  width_ = it.data->width_in_pixels;
  height_ = it.data->height_in_pixels;
}

XInputConnection::~XInputConnection() {
  X11Connections::disconnect(conn_);
}

bool XInputConnection::ok() const { return conn_ && !xcb_connection_has_error(conn_) && root_ != 0; }

uint32_t XInputConnection::atom(const std::string& name) {
  if (const auto found = atoms_.find(name); found != atoms_.end()) return found->second;
  const auto reply = ownReply(xcb_intern_atom_reply(
      conn_, xcb_intern_atom(conn_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
  const uint32_t value = reply ? reply->atom : uint32_t{XCB_ATOM_NONE};
  if (value != XCB_ATOM_NONE) atoms_[name] = value;
  return value;
}

std::optional<std::vector<uint8_t>> XInputConnection::rawProperty(uint32_t window, const std::string& name,
                                                                  uint32_t& format) {
  const uint32_t property = atom(name);
  if (property == XCB_ATOM_NONE || window == 0) return std::nullopt;
  const auto reply = ownReply(xcb_get_property_reply(
      conn_, xcb_get_property(conn_, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, maxPropertyWords), nullptr));
  if (!reply) return std::nullopt;
  std::optional<std::vector<uint8_t>> out;
  if (reply->type != XCB_ATOM_NONE) {
    format = reply->format;
    const int length = xcb_get_property_value_length(reply.get());
    const auto* data = static_cast<const uint8_t*>(xcb_get_property_value(reply.get()));
    out.emplace(data, data + (length > 0 ? length : 0));
  }
  return out;
}

std::optional<std::string> XInputConnection::stringProperty(uint32_t window, const std::string& name) {
  uint32_t format = 0;
  const auto raw = rawProperty(window, name, format);
  if (!raw || format != 8) return std::nullopt;
  std::string text(raw->begin(), raw->end());
  if (const size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

std::vector<std::string> XInputConnection::stringListProperty(uint32_t window, const std::string& name) {
  uint32_t format = 0;
  const auto raw = rawProperty(window, name, format);
  std::vector<std::string> out;
  if (!raw || format != 8) return out;
  std::string piece;
  for (const uint8_t b : *raw) {
    if (b == 0) {
      out.push_back(piece);
      piece.clear();
    } else {
      piece += static_cast<char>(b);
    }
  }
  if (!piece.empty()) out.push_back(piece);
  return out;
}

std::vector<uint32_t> XInputConnection::cardinalProperty(uint32_t window, const std::string& name) {
  uint32_t format = 0;
  const auto raw = rawProperty(window, name, format);
  std::vector<uint32_t> out;
  if (!raw || format != 32) return out;
  out.resize(raw->size() / 4);
  std::memcpy(out.data(), raw->data(), out.size() * 4);
  return out;
}

}  // namespace lumenrail
