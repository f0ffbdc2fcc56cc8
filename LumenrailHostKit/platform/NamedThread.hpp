#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace lumenrail {

// A thread that carries the full name the host gives it ("lumenrail-wire-conn")
// and shows a short form to the OS, whose limit is 15 bytes.
class NamedThread final {
 public:
  NamedThread() = default;
  NamedThread(std::string name, std::function<void()> body);
  NamedThread(NamedThread&& other) noexcept;
  NamedThread& operator=(NamedThread&& other) noexcept;
  NamedThread(const NamedThread&) = delete;
  NamedThread& operator=(const NamedThread&) = delete;
  // Joins, waiting at most kDestructorJoinNs; a thread that is still running
  // then is detached so that a destructor never blocks forever.
  ~NamedThread();

  static constexpr uint64_t kDestructorJoinNs = 5'000'000'000;

  const std::string& name() const { return name_; }
  bool joinable() const { return thread_.joinable(); }
  // True on the thread itself.
  bool isCurrent() const;
  // True once the body has returned (or thrown).
  bool finished() const;

  void join();
  // Joins when the body ends within the timeout; false leaves it running and joinable.
  bool joinFor(uint64_t timeoutNs);
  void detach();

  // The OS name for a full name: without a leading "lumenrail-" (or, for
  // queues, "quillmark.lumenrail."), cut to 15 bytes.
  static std::string osName(std::string_view fullName);
  // The full name of the calling thread; empty when it is not a NamedThread.
  static const std::string& currentName();

 private:
  struct State;
  std::string name_;
  std::thread thread_;
  std::shared_ptr<State> state_;
};

}  // namespace lumenrail
