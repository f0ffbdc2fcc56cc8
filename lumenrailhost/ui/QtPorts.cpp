#include "QtPorts.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QTimer>

namespace lumenrail {

namespace {

class QtRepeatingTimer final : public RepeatingTimer {
 public:
  QtRepeatingTimer(uint64_t intervalNs, std::function<void()> tick) {
    timer_.setInterval(static_cast<int>(intervalNs / 1'000'000));
    QObject::connect(&timer_, &QTimer::timeout, &timer_, std::move(tick));
    timer_.start();
  }

 private:
  QTimer timer_;
};

}  // namespace

bool QtClipboard::setText(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return false;
  const QString value = QString::fromStdString(text);
  clipboard->setText(value);
  // A clipboard that could not take ownership still reads the old text.
  return clipboard->text() == value;
}

TimerFactory qtTimers() {
  return [](uint64_t intervalNs, std::function<void()> tick) -> std::unique_ptr<RepeatingTimer> {
    return std::make_unique<QtRepeatingTimer>(intervalNs, std::move(tick));
  };
}

}  // namespace lumenrail
