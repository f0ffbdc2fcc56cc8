#pragma once

#include <QWidget>

class QVariantAnimation;

namespace lumenrail {

// The kit's on/off switch, 40 x 22. Controlled: it shows the value it is
// given and reports a flip as a request; the owner's model decides and
// calls setOn. The label is for accessibility only.
class HostSwitch final : public QWidget {
  Q_OBJECT

 public:
  explicit HostSwitch(const QString& label, bool on = false, QWidget* parent = nullptr);

  bool isOn() const { return on_; }
  void setOn(bool on);
  QSize sizeHint() const override { return QSize(40, 22); }

 signals:
  void toggleRequested(bool on);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool on_;
  double knob_;  // 0 at the leading end, 1 at the trailing end
  QVariantAnimation* slide_;
};

}  // namespace lumenrail
