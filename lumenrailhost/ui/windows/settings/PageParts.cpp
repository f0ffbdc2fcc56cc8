#include "ui/windows/settings/PageParts.hpp"

#include "ui/components/HostPicker.hpp"
#include "ui/style/HostFont.hpp"

namespace lumenrail {

using HostStyle::Role;

PageNote::PageNote(const QString& text, QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 0, 4, 0);
  auto* label = new KitLabel(keepTailTogether(text), HostFont::make(12), HostStyle::dynamic(Role::textDim));
  label->setWordWrap(true);
  layout->addWidget(label);
}

HostCard* cardOf(const std::vector<QWidget*>& rows) {
  auto* card = new HostCard();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) card->addContent(new RowDivider());
    card->addContent(rows[i]);
  }
  return card;
}

QComboBox* picker(const std::vector<std::pair<QString, QVariant>>& items, const QVariant& current) {
  auto* box = new HostPicker();
  box->setFont(HostFont::make(13));
  box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  for (const auto& [title, value] : items) box->addItem(title, value);
  box->setCurrentIndex(box->findData(current));
  return box;
}

QVBoxLayout* pageColumn(QWidget* page) {
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(16);
  return column;
}

}  // namespace lumenrail
