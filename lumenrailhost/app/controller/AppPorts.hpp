#pragma once

// What the application's model asks of the desktop, as small interfaces: the
// views target implements them with Qt, the tests with fakes. Work on the GUI
// thread (posted, delayed, repeated) goes through the main loop's Executor.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Executor.hpp"

namespace lumenrail {

// The desktop's clipboard; main thread.
class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // True when the clipboard took the text.
  virtual bool setText(const std::string& text) = 0;
};

// Opens a link with the desktop's handler for its scheme.
class UrlOpener {
 public:
  virtual ~UrlOpener() = default;
  // `done` gets whether a handler took the link, on any thread.
  virtual void open(const std::string& url, std::function<void(bool opened)> done) = 0;
};

// Desktop notifications. Completions may run on any thread.
class Notifier {
 public:
  struct Notification {
    std::string id;
    std::string title;
    std::string body;
  };
  virtual ~Notifier() = default;
  // Whether notices may be shown now: `granted`, else the reason ("" when none is known).
  virtual void authorize(std::function<void(bool granted, const std::string& reason)> done) = 0;
  // `error` is empty when the notice was taken.
  virtual void post(const Notification& notification, std::function<void(const std::string& error)> done) = 0;
};

}  // namespace lumenrail
