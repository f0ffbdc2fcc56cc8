#pragma once

#include <QVBoxLayout>
#include <QWidget>

namespace lumenrail {

// A rounded card around its content (stacked, no spacing, no padding of its own).
class HostCard final : public QWidget {
  Q_OBJECT

 public:
  explicit HostCard(QWidget* parent = nullptr);
  void addContent(QWidget* content);
  QVBoxLayout* contentLayout() const { return layout_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QVBoxLayout* layout_;
};

// A one-pixel line between rows, as wide as its container.
class RowDivider final : public QWidget {
  Q_OBJECT

 public:
  explicit RowDivider(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace lumenrail
