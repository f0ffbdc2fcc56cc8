#pragma once

// The maker's word mark at a given height, in the text colour of the current
// appearance. The outline is built once per process and shared.

#include <QPainterPath>
#include <QWidget>

namespace lumenrail {

class QuillmarkLockup final : public QWidget {
  Q_OBJECT

 public:
  static constexpr double kDesignWidth = 1956.69;
  static constexpr double kDesignHeight = 205.3;

  explicit QuillmarkLockup(double height, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  // The filled outline in design units (ring stroked, dots, word mark).
  static const QPainterPath& path();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double height_;
};

}  // namespace lumenrail
