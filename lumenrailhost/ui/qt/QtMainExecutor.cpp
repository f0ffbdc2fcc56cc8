#include "ui/qt/QtMainExecutor.hpp"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdint>

#include "platform/Clock.hpp"

namespace lumenrail {

namespace {

int milliseconds(uint64_t ns) { return static_cast<int>(std::min<uint64_t>(ns / 1'000'000, INT32_MAX)); }

}  // namespace

QtMainExecutor::QtMainExecutor() : context_(new QObject) {}

// Queued calls and timers still pending on the context are dropped with it.
QtMainExecutor::~QtMainExecutor() { delete context_; }

void QtMainExecutor::post(Task task) {
  QMetaObject::invokeMethod(context_, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtMainExecutor::postAfter(uint64_t delayNs, Task task) {
  // Armed on the GUI thread, so a worker thread may ask too.
  QMetaObject::invokeMethod(
      context_,
      [context = context_, delayNs, task = std::move(task)] { QTimer::singleShot(milliseconds(delayNs), context, task); },
      Qt::QueuedConnection);
}

Executor::Timer QtMainExecutor::startTimer(uint64_t delayNs, uint64_t intervalNs, Task task) {
  auto* timer = new QTimer(context_);
  // The first tick after `delayNs`, the rest every `intervalNs`.
  timer->setSingleShot(true);
  timer->setInterval(milliseconds(delayNs));
  QObject::connect(timer, &QTimer::timeout, timer, [timer, intervalNs, task = std::move(task)] {
    if (intervalNs != 0 && timer->isSingleShot()) {
      timer->setSingleShot(false);
      timer->start(milliseconds(intervalNs));
    }
    task();
  });
  timer->start();
  // A tick may cancel its own timer: deleting it inside its timeout is left to the loop.
  return Timer([guard = QPointer<QTimer>(timer)] {
    if (!guard) return;
    guard->stop();
    guard->deleteLater();
  });
}

uint64_t QtMainExecutor::nowNs() const { return uptimeNs(); }

bool QtMainExecutor::isCurrent() const { return QThread::currentThread() == context_->thread(); }

}  // namespace lumenrail
