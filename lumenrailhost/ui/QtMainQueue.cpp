#include "QtMainQueue.hpp"

#include <QMetaObject>
#include <QObject>

namespace lumenrail {

QtMainQueue::QtMainQueue() : context_(new QObject) {}

// Queued calls still pending on the context are dropped with it.
QtMainQueue::~QtMainQueue() { delete context_; }

void QtMainQueue::post(std::function<void()> task) {
  QMetaObject::invokeMethod(context_, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

}  // namespace lumenrail
