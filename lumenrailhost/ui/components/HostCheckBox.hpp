#pragma once

// The kit's check box: a rounded box whose border reads against the page in
// either appearance (3:1), filled with the accent when checked.

#include <QCheckBox>

namespace lumenrail {

class HostCheckBox final : public QCheckBox {
  Q_OBJECT

 public:
  explicit HostCheckBox(const QString& text, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

  static constexpr int kBox = 16;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

}  // namespace lumenrail
