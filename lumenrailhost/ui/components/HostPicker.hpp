#pragma once

// The kit's pop-up picker: closed, it wears the kit's rounded face like its
// buttons and fields; the open list stays the style's.

#include <QComboBox>

namespace lumenrail {

class HostPicker final : public QComboBox {
  Q_OBJECT

 public:
  explicit HostPicker(QWidget* parent = nullptr);
  // The text's room in the style's face plus what this face's chevron takes more.
  QSize sizeHint() const override { return QComboBox::sizeHint() + QSize(14, 4); }
  QSize minimumSizeHint() const override { return QComboBox::minimumSizeHint() + QSize(14, 4); }

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace lumenrail
