#include "QtDelays.hpp"

#include <QTimer>

namespace lumenrail {

namespace {

class QtPendingCall final : public PendingCall {
 public:
  QtPendingCall(uint64_t delayNs, std::function<void()> run) {
    timer_.setSingleShot(true);
    timer_.setInterval(static_cast<int>(delayNs / 1'000'000));
    QObject::connect(&timer_, &QTimer::timeout, &timer_, std::move(run));
    timer_.start();
  }

 private:
  QTimer timer_;
};

}  // namespace

DelayFactory qtDelays() {
  return [](uint64_t delayNs, std::function<void()> run) -> std::unique_ptr<PendingCall> {
    return std::make_unique<QtPendingCall>(delayNs, std::move(run));
  };
}

}  // namespace lumenrail
