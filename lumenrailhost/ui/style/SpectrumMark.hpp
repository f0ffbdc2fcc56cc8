#pragma once

#include <QWidget>

namespace lumenrail {

// The brand glyph filled with the spectrum gradient, top-left to bottom-right.
class SpectrumMark final : public QWidget {
  Q_OBJECT

 public:
  explicit SpectrumMark(double height, QWidget* parent = nullptr);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double height_;
};

}  // namespace lumenrail
