#pragma once

// Pieces every settings page uses: the footnote, a card of rows with
// dividers between them, a pop-up picker in the palette's colours, and the
// page's column.

#include <string>
#include <utility>
#include <vector>

#include <QComboBox>
#include <QVBoxLayout>
#include <QVariant>
#include <QWidget>

#include "ui/components/HostCard.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

inline QString qs(const std::string& text) { return QString::fromStdString(text); }

// The footnote under a page's cards.
class PageNote final : public QWidget {
  Q_OBJECT

 public:
  explicit PageNote(const QString& text, QWidget* parent = nullptr);
};

// A card holding `rows`, with a divider before every row but the first.
HostCard* cardOf(const std::vector<QWidget*>& rows);

// A pop-up over (title, value) items showing `current`; none selected when no
// item holds it. Reports the chosen item's value.
QComboBox* picker(const std::vector<std::pair<QString, QVariant>>& items, const QVariant& current);

// The page's column: items 16 apart, top-aligned.
QVBoxLayout* pageColumn(QWidget* page);

}  // namespace lumenrail
