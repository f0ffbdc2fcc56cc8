#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

typedef struct xcb_connection_t xcb_connection_t;

namespace lumenrail {

// One XCB connection for the input side (window lookups, XTest, the
// foreground watcher), with the few property helpers they share. Not
// thread-safe: each user owns its own connection.
class XInputConnection final {
 public:
  // `display`: ":N", or empty for the process's DISPLAY.
  explicit XInputConnection(const std::string& display);
  ~XInputConnection();
  XInputConnection(const XInputConnection&) = delete;
  XInputConnection& operator=(const XInputConnection&) = delete;

  bool ok() const;
  xcb_connection_t* conn() const { return conn_; }
  uint32_t root() const { return root_; }
  int screenWidth() const { return width_; }
  int screenHeight() const { return height_; }

  uint32_t atom(const std::string& name);
  // Property values are read up to these bounds; longer values are cut.
  static constexpr uint32_t maxPropertyWords = 1024;

  std::optional<std::string> stringProperty(uint32_t window, const std::string& name);
  std::vector<std::string> stringListProperty(uint32_t window, const std::string& name);
  std::vector<uint32_t> cardinalProperty(uint32_t window, const std::string& name);

 private:
  std::optional<std::vector<uint8_t>> rawProperty(uint32_t window, const std::string& name, uint32_t& format);

  xcb_connection_t* conn_ = nullptr;
  uint32_t root_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::map<std::string, uint32_t> atoms_;
};

}  // namespace lumenrail
