#pragma once

#include <QWidget>

#include "ui/style/HostStyle.hpp"

#include "ui/components/LiveUpdate.hpp"

namespace lumenrail {

// The phase badge of the panel's header: a coloured dot and the phase's name
// in a raised capsule.
class StatusPill final : public QWidget, public LiveContent {
  Q_OBJECT

 public:
  StatusPill(const QString& text, DynamicColor dot, QWidget* parent = nullptr);
  QString text() const { return text_; }
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }
  void takeContent(const QWidget& fresh) override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
  DynamicColor dot_;
};

}  // namespace lumenrail
