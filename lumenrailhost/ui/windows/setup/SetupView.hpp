#pragma once

// The setup assistant's content: the spectrum bar, the page of the model's
// step, and a footer with the progress dots, Back and the primary button
// (Return presses it). Every control acts on the model; the page follows the
// model's step and grants as they are published.

#include <functional>
#include <memory>

#include <QAbstractButton>
#include <QWidget>

#include "app/windows/SetupModel.hpp"

namespace lumenrail {

struct SetupViewPorts {
  // Running from an installed tree: only then can the host start at login.
  bool installed = false;
  // Starts the host again, to resume at the permissions page.
  std::function<void()> relaunch;
};

class StepDots final : public QWidget {
  Q_OBJECT

 public:
  StepDots(int current, int count, QWidget* parent = nullptr);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int current_;
  int count_;
};

class SetupView final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 560;
  static constexpr int kHeight = 520;

  SetupView(std::shared_ptr<SetupModel> model, SetupViewPorts ports, QWidget* parent = nullptr);

  QAbstractButton* primaryButton() const { return primary_; }
  QAbstractButton* backButton() const { return back_; }
  QWidget* page() const { return page_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void rebuild();
  void primaryAction();

  std::shared_ptr<SetupModel> model_;
  SetupViewPorts ports_;
  QWidget* pageHost_ = nullptr;
  QWidget* page_ = nullptr;
  QWidget* dotsHost_ = nullptr;
  StepDots* dots_ = nullptr;
  QAbstractButton* back_ = nullptr;
  QAbstractButton* primary_ = nullptr;
};

}  // namespace lumenrail
