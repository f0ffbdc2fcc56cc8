#pragma once

// The first page: the product, what it does, in three rows.

#include <QWidget>

namespace lumenrail {

class WelcomeStep final : public QWidget {
  Q_OBJECT

 public:
  explicit WelcomeStep(QWidget* parent = nullptr);
};

}  // namespace lumenrail
