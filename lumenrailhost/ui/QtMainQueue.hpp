#pragma once

// The main queue on Qt: work posted from any thread runs on the GUI thread
// through a queued call on a context object; once the context is gone (the
// main loop has ended) posted work is dropped.

#include "ControllerPorts.hpp"

class QObject;

namespace lumenrail {

class QtMainQueue final : public MainQueue {
 public:
  // Call on the GUI thread.
  QtMainQueue();
  ~QtMainQueue() override;
  void post(std::function<void()> task) override;

 private:
  QObject* context_;
};

}  // namespace lumenrail
