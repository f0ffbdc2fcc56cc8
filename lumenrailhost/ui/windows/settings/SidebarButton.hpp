#pragma once

#include <QAbstractButton>

namespace lumenrail {

// A sidebar entry: symbol and title on a rounded face, accent-tinted when
// selected, faintly lit under the pointer. `small` is the compact form of the
// action buttons below the sections.
class SidebarButton final : public QAbstractButton {
  Q_OBJECT

 public:
  SidebarButton(const QString& title, const QString& symbol, bool selected, bool small, QWidget* parent = nullptr);

  void setSymbol(const QString& symbol);
  bool isSelected() const { return selected_; }
  bool isSmall() const { return small_; }
  void setSelected(bool selected);
  bool isHovered() const { return hover_; }
  void setHovered(bool hovered);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QFont titleFont() const;

  QString symbol_;
  bool selected_;
  bool small_;
  bool hover_ = false;
};

}  // namespace lumenrail
