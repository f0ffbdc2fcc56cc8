#pragma once

// The setup window: fixed size, titled, closable; closing it stops the
// model's poll, and the step reached so far stays stored for next time.

#include <memory>

#include <QObject>
#include <QWidget>

#include "ui/windows/setup/SetupView.hpp"

namespace lumenrail {

class SetupWindowController final : public QObject {
  Q_OBJECT

 public:
  SetupWindowController(std::shared_ptr<SetupModel> model, SetupViewPorts ports, QObject* parent = nullptr);
  ~SetupWindowController() override;

  // Brings the window to the front.
  void show();
  void close();
  QWidget* window() const { return window_.get(); }
  SetupView* view() const { return view_; }
  const std::shared_ptr<SetupModel>& model() const { return model_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::shared_ptr<SetupModel> model_;
  std::unique_ptr<QWidget> window_;
  SetupView* view_ = nullptr;
};

}  // namespace lumenrail
