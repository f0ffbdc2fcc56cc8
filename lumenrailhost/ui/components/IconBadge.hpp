#pragma once

#include <QWidget>

#include "ui/style/HostStyle.hpp"

namespace lumenrail {

// A symbol in its tint on a 32 x 32 tile of the same tint, faintly.
class IconBadge final : public QWidget {
  Q_OBJECT

 public:
  IconBadge(const QString& symbol, DynamicColor tint, QWidget* parent = nullptr);
  QString symbol() const { return symbol_; }
  void setSymbol(const QString& symbol);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString symbol_;
  DynamicColor tint_;
};

}  // namespace lumenrail
