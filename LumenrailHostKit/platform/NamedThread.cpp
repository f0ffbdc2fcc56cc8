#include "platform/NamedThread.hpp"

#include <pthread.h>

#include <algorithm>
#include <exception>

#include "platform/Log.hpp"
#include "platform/OneShotEvent.hpp"

namespace lumenrail {

struct NamedThread::State {
  OneShotEvent done;
};

namespace {
thread_local std::string tCurrentName;
}

NamedThread::NamedThread(std::string name, std::function<void()> body)
    : name_(std::move(name)), state_(std::make_shared<State>()) {
  thread_ = std::thread([name = name_, state = state_, body = std::move(body)] {
    tCurrentName = name;
    const std::string os = osName(name);
    pthread_setname_np(pthread_self(), os.c_str());
    try {
      body();
    } catch (const std::exception& e) {
      Log::lineTo(2, "thread " + name + " ended by an exception: " + e.what());
    } catch (...) {
      Log::lineTo(2, "thread " + name + " ended by an unknown exception");
    }
    state->done.signal();
  });
}

NamedThread::NamedThread(NamedThread&& other) noexcept
    : name_(std::move(other.name_)), thread_(std::move(other.thread_)), state_(std::move(other.state_)) {}

NamedThread& NamedThread::operator=(NamedThread&& other) noexcept {
  if (this != &other) {
    if (thread_.joinable() && !joinFor(kDestructorJoinNs)) thread_.detach();
    name_ = std::move(other.name_);
    thread_ = std::move(other.thread_);
    state_ = std::move(other.state_);
  }
  return *this;
}

NamedThread::~NamedThread() {
  if (!thread_.joinable()) return;
  if (isCurrent()) {
    thread_.detach();  // a thread cannot join itself
    return;
  }
  if (!joinFor(kDestructorJoinNs)) {
    Log::lineTo(2, "thread " + name_ + " did not end in time; detached");
    thread_.detach();
  }
}

bool NamedThread::isCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

bool NamedThread::finished() const { return state_ && state_->done.isSignaled(); }

void NamedThread::join() {
  if (thread_.joinable() && !isCurrent()) thread_.join();
}

bool NamedThread::joinFor(uint64_t timeoutNs) {
  if (!thread_.joinable()) return true;
  if (isCurrent()) return false;
  if (!state_->done.waitFor(timeoutNs)) return false;
  thread_.join();  // the body has returned; only the thread's exit remains
  return true;
}

void NamedThread::detach() {
  if (thread_.joinable()) thread_.detach();
}

std::string NamedThread::osName(std::string_view fullName) {
  for (std::string_view prefix : {std::string_view("lumenrail-"), std::string_view("quillmark.lumenrail.")}) {
    if (fullName.starts_with(prefix) && fullName.size() > prefix.size()) {
      fullName.remove_prefix(prefix.size());
      break;
    }
  }
  // 15 bytes, without splitting a UTF-8 character.
  size_t cut = std::min<size_t>(fullName.size(), 15);
  while (cut > 0 && cut < fullName.size() && (static_cast<unsigned char>(fullName[cut]) & 0xC0) == 0x80) --cut;
  return std::string(fullName.substr(0, cut));
}

const std::string& NamedThread::currentName() { return tCurrentName; }

}  // namespace lumenrail
