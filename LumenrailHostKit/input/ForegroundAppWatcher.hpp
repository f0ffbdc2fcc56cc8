#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"

namespace lumenrail {

// Where the frontmost application's identifier comes from. Called from the
// watcher's thread only.
class ForegroundAppSource {
 public:
  virtual ~ForegroundAppSource() = default;
  // The frontmost application's identifier; nothing when no application is
  // in front or it names none.
  virtual std::optional<std::string> frontmostAppId() = 0;
};

// Polls the frontmost application on its own thread and reports each change
// of its app stem.
class ForegroundAppWatcher final {
 public:
  static constexpr const char* threadName = "lumenrail-foreground-watch";

  ForegroundAppWatcher(double pollInterval, std::shared_ptr<ForegroundAppSource> source);
  // Stops polling and ends the thread. Also safe from one of its own
  // callbacks: the thread then ends as soon as that callback returns.
  ~ForegroundAppWatcher();
  ForegroundAppWatcher(const ForegroundAppWatcher&) = delete;
  ForegroundAppWatcher& operator=(const ForegroundAppWatcher&) = delete;

  // Set before start(); each start takes them as they are then.
  std::function<void(const std::string&)> onChange;
  Log::Sink onEvent;

  std::string current() const;
  // Starts polling; no effect while polling. A start right after a stop
  // first lets the old thread end, so there is never more than one poller.
  void start();
  // Asks the thread to end; it wakes from its sleep at once.
  void stop();
  bool running() const;

 private:
  struct Shared;
  struct Run;
  static void pollLoop(const std::shared_ptr<Shared>& shared, const std::shared_ptr<Run>& run, double interval);

  double pollInterval_;
  // What the thread reaches: it holds these itself, never the watcher.
  std::shared_ptr<Shared> shared_;
  mutable std::mutex runLock_;
  std::shared_ptr<Run> run_;  // the current polling run, under runLock_
  std::mutex threadLock_;     // serialises start() and the destructor
  NamedThread thread_;
};

}  // namespace lumenrail
