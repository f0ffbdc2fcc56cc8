#pragma once

// The kit's pop-up picker: closed, it wears the kit's rounded face like its
// buttons and fields; open, its list is the kit's too (raised card, accent
// tint under the pointer and on the chosen row), in the current appearance.

#include <QComboBox>

namespace lumenrail {

class HostPicker final : public QComboBox {
  Q_OBJECT

 public:
  explicit HostPicker(QWidget* parent = nullptr);
  // The text's room in the style's face plus what this face's chevron takes more.
  QSize sizeHint() const override { return QComboBox::sizeHint() + QSize(14, 4); }
  QSize minimumSizeHint() const override { return QComboBox::minimumSizeHint() + QSize(14, 4); }
  void showPopup() override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void applyPalette();
};

}  // namespace lumenrail
