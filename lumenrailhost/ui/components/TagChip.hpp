#pragma once

#include <QWidget>

#include "ui/components/LiveUpdate.hpp"

namespace lumenrail {

// A small capsule label; its text is shown in capitals.
class TagChip final : public QWidget {
  Q_OBJECT

 public:
  explicit TagChip(const QString& text, QWidget* parent = nullptr);
  QString shownText() const { return text_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
};

// An upper-case section heading across the whole width.
// Takes a new text in place: a count in it ("2 devices") changes nothing else.
class SectionLabel final : public QWidget, public LiveContent {
  Q_OBJECT

 public:
  explicit SectionLabel(const QString& text, QWidget* parent = nullptr);
  QString shownText() const { return text_; }
  QSize sizeHint() const override;
  void takeContent(const QWidget& fresh) override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
};

}  // namespace lumenrail
