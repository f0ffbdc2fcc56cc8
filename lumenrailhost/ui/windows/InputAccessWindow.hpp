#pragma once

// What allowing input takes on Linux, where there is no privacy pane: what
// the grant is, the one command that makes it (with Copy), and whether input
// may be posted now, checked again every 2 s while the window shows. Drawn
// with the kit like the host's other windows; the command wraps, whole.

#include <functional>
#include <memory>
#include <string>

#include <QWidget>

#include "app/controller/AppPorts.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"


namespace lumenrail {

class HostButton;
class KitLabel;

class InputAccessWindow final : public QWidget {
  Q_OBJECT

 public:
  static constexpr uint64_t kRecheckNs = 2 * kNsPerSecond;
  // How long Copy reads "Copied".
  static constexpr uint64_t kCopiedForNs = 1'500'000'000;

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
  void applyPalette();

  std::function<bool()> allowed_;
  std::shared_ptr<Clipboard> clipboard_;
  std::shared_ptr<Executor> main_;
  KitLabel* status_;
  HostButton* copy_ = nullptr;
  Executor::Timer recheck_;
  Executor::Timer copiedReset_;
  bool allowedShown_ = false;
};

}  // namespace lumenrail
