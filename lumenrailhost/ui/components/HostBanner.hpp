#pragma once

#include <functional>
#include <optional>

#include <QWidget>

#include "ui/style/HostStyle.hpp"

namespace lumenrail {

class HostButton;

// A tinted notice: symbol, title and detail, and an optional action button
// that keeps its width while the texts wrap.
class HostBanner final : public QWidget {
  Q_OBJECT

 public:
  struct Action {
    QString title;
    std::function<void()> run;
  };

  HostBanner(const QString& symbol, const QString& title, const QString& detail, std::optional<Action> action,
             DynamicColor tint, DynamicColor tintBg, QWidget* parent = nullptr);

  // The warning pair: warn on warnBg.
  static DynamicColor warnTint() { return HostStyle::dynamic(HostStyle::Role::warn); }
  static DynamicColor warnBackground() { return HostStyle::dynamic(HostStyle::Role::warnBg); }

  HostButton* actionButton() const { return button_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  DynamicColor tint_;
  DynamicColor tintBg_;
  HostButton* button_ = nullptr;
};

}  // namespace lumenrail
