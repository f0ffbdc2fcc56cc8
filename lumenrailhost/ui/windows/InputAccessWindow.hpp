#pragma once

// What allowing input takes on Linux, where there is no privacy pane: what
// the grant is, the one command that makes it (with Copy), and whether input
// may be posted now, checked again every 2 s while the window shows.

#include <functional>
#include <memory>
#include <string>

#include <QWidget>

#include "app/controller/AppPorts.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"

class QLabel;
class QLineEdit;

namespace lumenrail {

class InputAccessWindow final : public QWidget {
  Q_OBJECT

 public:
  static constexpr uint64_t kRecheckNs = 2 * kNsPerSecond;

  // `allowed` asks whether input may be posted now.
  InputAccessWindow(std::string command, std::function<bool()> allowed, std::shared_ptr<Clipboard> clipboard,
                    std::shared_ptr<Executor> main);

  void present();
  bool showsAllowed() const { return allowedShown_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void recheck();

  std::function<bool()> allowed_;
  std::shared_ptr<Clipboard> clipboard_;
  std::shared_ptr<Executor> main_;
  QLabel* status_;
  Executor::Timer recheck_;
  bool allowedShown_ = false;
};

}  // namespace lumenrail
