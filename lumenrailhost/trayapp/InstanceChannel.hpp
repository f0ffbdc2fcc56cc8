#pragma once

// How a second start reaches the running instance: a Unix socket beside the
// instance lock. The running one listens on the main loop; a second start
// sends "show" and waits, bounded, for "ok". The lock's holder owns the
// socket's name, so a file left by a dead instance is replaced, never obeyed.
// Both ends talk only to a peer of this user (the file's owner and the
// connection's credentials).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace lumenrail {

class InstanceChannel final {
 public:
  // "<lock path without .lock>.sock".
  static std::string socketPath(const std::string& lockPath);

  // The second start's side: true when the running instance answered.
  static bool askToShow(const std::string& socketPath, uint64_t timeoutNs);

  // The running instance's side; call only while holding the instance lock.
  // `onShow` runs on the main loop for every request. Nothing when the
  // socket cannot be made (`error()` says why).
  InstanceChannel(const std::string& socketPath, std::function<void()> onShow);
  ~InstanceChannel();
  InstanceChannel(const InstanceChannel&) = delete;
  InstanceChannel& operator=(const InstanceChannel&) = delete;

  bool listening() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }

 private:
  void accept();

  std::string path_;
  std::function<void()> onShow_;
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::string error_;
};

}  // namespace lumenrail
