#pragma once

#include <QAbstractButton>

namespace lumenrail {

// The kit's button face (the designs' HostButtonStyle): plain or prominent,
// danger tinting a plain face (warn edge and fill; its label warn under the
// pointer), natural or full width.
struct HostButtonStyle {
  bool prominent = false;
  bool danger = false;
  bool fullWidth = false;
};

class HostButton final : public QAbstractButton {
  Q_OBJECT

 public:
  HostButton(const QString& title, HostButtonStyle style = {}, QWidget* parent = nullptr);
  // A symbol drawn before the title ("" for none).
  void setSymbol(const QString& name);
  QString symbol() const { return symbol_; }

  // Under the pointer and enabled: the plain face turns accent (or warn).
  bool isActive() const { return hover_ && isEnabled(); }
  // 0.45 disabled, 0.8 pressed, else 1.
  double faceOpacity() const;
  // Drawn as if under the pointer (snapshots of the hover face).
  void setHovered(bool hovered);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  HostButtonStyle style_;
  QString symbol_;
  bool hover_ = false;
};

}  // namespace lumenrail
