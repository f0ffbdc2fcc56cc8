#pragma once

#include <vector>

#include <QAbstractButton>
#include <QVariant>
#include <QWidget>

namespace lumenrail {

class KitLabel;
class SymbolView;

// A row of selectable tiles over one value. Controlled: it shows the
// selection it is given and reports a pressed tile as a request.
class ChoiceTiles final : public QWidget {
  Q_OBJECT

 public:
  struct Option {
    QVariant value;  // unique among the options
    QString symbol;
    QString title;
    QString detail;
  };

  ChoiceTiles(std::vector<Option> options, QVariant selection, bool compact, QWidget* parent = nullptr);

  const QVariant& selection() const { return selection_; }
  void setSelection(const QVariant& value);
  // The tiles in option order; the selected one is checked.
  const std::vector<QAbstractButton*>& tiles() const { return tiles_; }

 signals:
  void selectionRequested(const QVariant& value);

 private:
  std::vector<Option> options_;
  QVariant selection_;
  std::vector<QAbstractButton*> tiles_;
};

}  // namespace lumenrail
