#include "ui/components/SettingRow.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "ui/components/TagChip.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

using HostStyle::Role;

SettingRow::SettingRow(const QString& label, const std::optional<QString>& desc, bool descIsWarning,
                       const std::optional<QString>& tag, QWidget* control, QWidget* parent)
    : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(16, 13, 16, 13);
  row->setSpacing(16);

  auto* column = new QVBoxLayout();
  column->setSpacing(3);
  auto* head = new QHBoxLayout();
  head->setSpacing(7);
  head->addWidget(new KitLabel(label, HostFont::make(13.5, HostFont::Weight::medium), HostStyle::dynamic(Role::text)));
  if (tag) head->addWidget(new TagChip(*tag));
  head->addStretch(1);
  column->addLayout(head);
  if (desc) {
    desc_ = new KitLabel(keepTailTogether(*desc), HostFont::make(12),
                         HostStyle::dynamic(descIsWarning ? Role::warn : Role::textDim));
    desc_->setWordWrap(true);
    column->addWidget(desc_);
  }
  row->addLayout(column, 1);

  if (control) {
    auto* holder = new QVBoxLayout();
    holder->setContentsMargins(0, 1, 0, 0);
    holder->addWidget(control);
    holder->addStretch(1);
    row->addLayout(holder);
  }
  row->setAlignment(Qt::AlignTop);
}

}  // namespace lumenrail
