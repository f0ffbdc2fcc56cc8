#pragma once

#include <QAbstractButton>

namespace lumenrail {

// An icon button of the panel's footer, 32 x 28; the tooltip names it.
// Under the pointer and enabled it turns accent on a raised tile; disabled
// it is drawn at 0.4 and never shows the hover face.
class FooterButton final : public QAbstractButton {
  Q_OBJECT

 public:
  FooterButton(const QString& symbol, const QString& help, QWidget* parent = nullptr);
  QString symbol() const { return symbol_; }
  bool isActive() const { return hover_ && isEnabled(); }
  double faceOpacity() const { return isEnabled() ? 1.0 : 0.4; }
  void setHovered(bool hovered);
  QSize sizeHint() const override { return QSize(32, 28); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QString symbol_;
  bool hover_ = false;
};

}  // namespace lumenrail
