#pragma once

// Opens links with the desktop's handler through xdg-open. The start never
// blocks the caller; a waiter thread reports whether xdg-open found a handler.

#include <string>

#include "AppPorts.hpp"

namespace lumenrail {

class XdgOpener final : public UrlOpener {
 public:
  // `program` is what is run with the link as its one argument (PATH is searched).
  explicit XdgOpener(std::string program = "xdg-open") : program_(std::move(program)) {}
  void open(const std::string& url, std::function<void(bool opened)> done) override;

 private:
  std::string program_;
};

}  // namespace lumenrail
