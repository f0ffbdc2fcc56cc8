#include "ui/components/ChoiceTiles.hpp"

#include <QEvent>
#include <QGraphicsOpacityEffect>

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/style/FocusRing.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

using HostStyle::Role;

struct TileSizes {
  double spacing, padding, symbol, title, detail;
};
constexpr TileSizes kCompact{3, 10, 13, 12.5, 11};
constexpr TileSizes kRegular{5, 12, 15, 13.5, 11.8};

class ChoiceTile final : public QAbstractButton {
 public:
  ChoiceTile(const ChoiceTiles::Option& option, const TileSizes& sizes, QWidget* parent) : QAbstractButton(parent) {
    setAccessibleName(option.title);
    // Checked is how accessibility tells the selected tile; only setSelected changes it.
    setCheckable(true);
    auto* column = new QVBoxLayout(this);
    const int pad = static_cast<int>(sizes.padding);
    column->setContentsMargins(pad, pad, pad, pad);
    column->setSpacing(static_cast<int>(sizes.spacing));
    auto* head = new QHBoxLayout();
    head->setSpacing(7);
    symbol_ = new SymbolView(option.symbol, sizes.symbol, HostStyle::dynamic(Role::textDim));
    head->addWidget(symbol_);
    head->addWidget(new KitLabel(option.title, HostFont::make(sizes.title, HostFont::Weight::semibold),
                                 HostStyle::dynamic(Role::text)));
    head->addStretch(1);
    column->addLayout(head);
    auto* detail = new KitLabel(keepTailTogether(option.detail), HostFont::make(sizes.detail),
                                HostStyle::dynamic(Role::textDim));
    detail->setWordWrap(true);
    column->addWidget(detail);
    column->addStretch(1);
    for (auto* child : findChildren<QWidget*>()) child->setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    FocusRing::attach(*this, 7);
    connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
  }

  void setSelected(bool selected) {
    selected_ = selected;
    symbol_->setColor(HostStyle::dynamic(selected ? Role::accent : Role::textDim));
    setChecked(selected);
    update();
  }

  QSize sizeHint() const override { return layout()->sizeHint(); }

 protected:
  // A press asks; the owner's selection decides what shows.
  void nextCheckState() override {}

  // Disabled, the whole tile fades as a disabled button does.
  void changeEvent(QEvent* event) override {
    if (event->type() == QEvent::EnabledChange) {
      if (!isEnabled() && graphicsEffect() == nullptr) {
        auto* fade = new QGraphicsOpacityEffect(this);
        fade->setOpacity(0.45);
        setGraphicsEffect(fade);
      } else if (isEnabled()) {
        setGraphicsEffect(nullptr);
      }
    }
    QAbstractButton::changeEvent(event);
  }

  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QColor fill = selected_ ? HostStyle::accent() : HostStyle::bgInset();
    if (selected_) fill.setAlphaF(fill.alphaF() * 0.14f);
    paintRounded(p, QRectF(rect()), 7, fill, selected_ ? HostStyle::accent() : HostStyle::line(), selected_ ? 1.5 : 1.0);
  }

 private:
  SymbolView* symbol_;
  bool selected_ = false;
};

}  // namespace

ChoiceTiles::ChoiceTiles(std::vector<Option> options, QVariant selection, bool compact, QWidget* parent)
    : QWidget(parent), options_(std::move(options)), selection_(std::move(selection)) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  for (const auto& option : options_) {
    auto* tile = new ChoiceTile(option, compact ? kCompact : kRegular, this);
    connect(tile, &QAbstractButton::clicked, this, [this, value = option.value] { emit selectionRequested(value); });
    row->addWidget(tile, 1);
    tiles_.push_back(tile);
  }
  setSelection(selection_);
}

void ChoiceTiles::setSelection(const QVariant& value) {
  selection_ = value;
  for (size_t i = 0; i < tiles_.size(); ++i) {
    static_cast<ChoiceTile*>(tiles_[i])->setSelected(options_[i].value == value);
  }
}

}  // namespace lumenrail
