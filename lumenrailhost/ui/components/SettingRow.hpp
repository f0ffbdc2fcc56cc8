#pragma once

#include <optional>

#include <QWidget>

namespace lumenrail {

class KitLabel;

// A labelled setting: label (with an optional tag chip) and an optional
// description on the left, the caller's control on the right.
class SettingRow final : public QWidget {
  Q_OBJECT

 public:
  SettingRow(const QString& label, const std::optional<QString>& desc, bool descIsWarning,
             const std::optional<QString>& tag, QWidget* control, QWidget* parent = nullptr);

  KitLabel* descriptionLabel() const { return desc_; }

 private:
  KitLabel* desc_ = nullptr;
};

}  // namespace lumenrail
