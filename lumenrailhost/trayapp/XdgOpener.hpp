#pragma once

// Opens links with the desktop's handler through xdg-open. The start never
// blocks the caller; the reaper reports whether xdg-open found a handler.

#include <memory>
#include <string>

#include "app/controller/AppPorts.hpp"
#include "platform/ChildProcesses.hpp"

namespace lumenrail {

class XdgOpener final : public UrlOpener {
 public:
  // `program` is what is run with the link as its one argument (PATH is searched).
  explicit XdgOpener(std::shared_ptr<ChildProcesses> children, std::string program = "xdg-open")
      : children_(std::move(children)), program_(std::move(program)) {}
  void open(const std::string& url, std::function<void(bool opened)> done) override;

 private:
  std::shared_ptr<ChildProcesses> children_;
  std::string program_;
};

}  // namespace lumenrail
