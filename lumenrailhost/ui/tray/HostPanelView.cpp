#include "ui/tray/HostPanelView.hpp"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPointer>
#include <algorithm>
#include <QVBoxLayout>

#include "ui/components/ChoiceTiles.hpp"
#include "ui/components/DeviceRow.hpp"
#include "ui/components/FooterButton.hpp"
#include "ui/components/HostBanner.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/components/HostCard.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/components/IconBadge.hpp"
#include "ui/components/LiveUpdate.hpp"
#include "ui/components/SettingRow.hpp"
#include "ui/components/StatusPill.hpp"
#include "ui/components/TagChip.hpp"
#include "ui/style/KitParts.hpp"
#include "ui/style/PanelTone.hpp"
#include "ui/style/SpectrumMark.hpp"

namespace lumenrail {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

DynamicColor role(HostStyle::Role r) { return HostStyle::dynamic(r); }

// The status line under the title: the one-line form when it fits the width
// it is given, else the two-line form (at most two lines).
class StatusLine final : public QWidget, public LiveContent {
 public:
  explicit StatusLine(const PanelPresentation& p) : presentation_(p) {
    setFont(HostFont::make(11.5));
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setObjectName("status");
    setToolTip(q(p.subtitleHelp));
  }

  PanelPresenter::StatusForm formFor(int width) const {
    return PanelPresenter::statusForm(fontMetrics().horizontalAdvance(q(presentation_.subtitle)), width);
  }
  QString textFor(int width) const { return q(PanelPresenter::statusText(presentation_, formFor(width))); }

  QSize sizeHint() const override {
    return QSize(fontMetrics().horizontalAdvance(q(presentation_.subtitle)), fontMetrics().height());
  }
  QSize minimumSizeHint() const override { return QSize(0, fontMetrics().height()); }
  bool hasHeightForWidth() const override { return true; }
  void takeContent(const QWidget& fresh) override {
    presentation_ = static_cast<const StatusLine&>(fresh).presentation_;
    setToolTip(q(presentation_.subtitleHelp));
    updateGeometry();
    update();
  }
  int heightForWidth(int width) const override {
    if (formFor(width) == PanelPresenter::StatusForm::oneLine) return fontMetrics().height();
    const QRect wrapped = fontMetrics().boundingRect(QRect(0, 0, width, 1000), Qt::TextWordWrap, textFor(width));
    return std::min(wrapped.height(), 2 * fontMetrics().lineSpacing());
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setPen(HostStyle::textDim());
    paintWrapped(p, QRectF(rect()), textFor(width()), 2);
  }

 private:
  PanelPresentation presentation_;
};

QVBoxLayout* column(QWidget* owner, int spacing) {
  auto* layout = new QVBoxLayout(owner);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(spacing);
  return layout;
}

}  // namespace

HostPanelView::HostPanelView(HostPanelModel& model, const Localizer& texts, QWidget* parent)
    : QWidget(parent), model_(model), texts_(texts), outer_(column(this, 0)) {
  setFixedWidth(kWidth);
  setAutoFillBackground(true);
  applyBackground();
  connect(&Appearance::instance(), &Appearance::changed, this, [this] {
    applyBackground();
    rebuild();
  });
  // The model outlives no view: the popup owns both and drops the view first.
  model_.observe([weak = QPointer<HostPanelView>(this)] {
    if (weak) weak->rebuild();
  });
  rebuild();
}

void HostPanelView::applyBackground() {
  QPalette p = palette();
  p.setColor(QPalette::Window, HostStyle::bg());
  setPalette(p);
}

void HostPanelView::run(PanelCommand command) const {
  const PanelActions& a = model_.actions();
  switch (command) {
    case PanelCommand::toggleServing: return a.toggleServing();
    case PanelCommand::showQr: return a.showQr();
    case PanelCommand::showSettings: return a.showSettings();
    case PanelCommand::showSetup: return a.showSetup();
    case PanelCommand::showAbout: return a.showAbout();
    case PanelCommand::quit: return a.quit();
    case PanelCommand::openAccessibilitySettings: return a.openAccessibilitySettings();
    case PanelCommand::dismissClientAppUpdate: return a.dismissClientAppUpdate();
    case PanelCommand::openUpdate: return a.openUpdate();
    case PanelCommand::openAirDropSettings: return a.openAirDropSettings();
  }
}

void HostPanelView::rebuild() {
  shown_ = PanelPresenter::present(model_.state(), texts_);
  auto* fresh = new QWidget();
  auto* stack = column(fresh, 14);
  stack->setContentsMargins(16, 16, 16, 16);
  stack->addWidget(header());
  for (const auto& b : shown_.banners) {
    const PanelCommand command = b.action;
    DynamicColor tint = panelToneColor(b.tone);
    DynamicColor tintBg = HostBanner::warnBackground();
    if (b.tone == PanelTone::accent) tintBg = {tint.dark, tint.light, 0.1, std::nullopt};
    auto* banner = new HostBanner(q(b.symbol), q(b.title), q(b.detail),
                                  HostBanner::Action{q(b.actionTitle), [this, command] { run(command); }}, tint,
                                  tintBg);
    banner->setProperty(LiveUpdate::kKey, QString("%1/%2").arg(int(command)).arg(int(b.tone)));
    stack->addWidget(banner);
  }
  stack->addWidget(devicesSection());
  stack->addWidget(displaySection());
  stack->addWidget(bottom());
  // Rows, banners and sections as before: the shown widgets take the new
  // texts and states, and an open menu, focus and hover stay.
  if (body_ && LiveUpdate::takeOver(*body_, *fresh)) {
    delete fresh;
  } else {
    // Another shape (the first device, a banner): focus moves to the same
    // control of the new body.
    LiveUpdate::FocusPlace focus;
    if (body_) {
      focus = LiveUpdate::focusPlace(*body_);
      // A control of the old body may be running this very rebuild: it goes
      // later, but out of the panel now.
      body_->hide();
      body_->setParent(nullptr);
      body_->deleteLater();
    }
    body_ = fresh;
    fresh->setParent(this);
    body_->installEventFilter(this);
    outer_->addWidget(body_);
    body_->show();
    LiveUpdate::restoreFocus(*body_, focus);
  }
  fitHeight();
  emit rebuilt();
}

void HostPanelView::fitHeight() {
  // Texts changed in place deep inside reach the outer layouts only as
  // posted layout requests, so until those run every level above answers
  // from its cache: the panel came out short and squashed its rows. Drop
  // the caches of every level before measuring.
  ensurePolished();
  for (QWidget* child : body_->findChildren<QWidget*>()) child->updateGeometry();
  for (QLayout* layout : body_->findChildren<QLayout*>()) layout->invalidate();
  body_->layout()->invalidate();
  // Wrapped texts need the height for this width, not the layout's guess.
  setFixedHeight(body_->layout()->heightForWidth(kWidth));
}

bool HostPanelView::eventFilter(QObject* watched, QEvent* event) {
  // Anything else that changes the content's size (fonts, style) after it was measured.
  if (watched == body_ && event->type() == QEvent::LayoutRequest) {
    const int height = body_->layout()->heightForWidth(kWidth);
    if (height != this->height()) {
      setFixedHeight(height);
      emit rebuilt();
    }
  }
  return QWidget::eventFilter(watched, event);
}

QWidget* HostPanelView::header() {
  auto* box = new QWidget();
  auto* row = new QHBoxLayout(box);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(11);
  row->addWidget(new SpectrumMark(26), 0, Qt::AlignVCenter);
  auto* titles = new QVBoxLayout();
  titles->setSpacing(1);
  titles->addWidget(new KitLabel(q(shown_.title), HostFont::make(15.5, HostFont::Weight::semibold),
                                 role(HostStyle::Role::text)));
  titles->addWidget(new StatusLine(shown_));
  row->addLayout(titles, 1);
  row->addSpacing(8);
  row->addWidget(new StatusPill(q(shown_.pillText), panelToneColor(shown_.pillTone)), 0, Qt::AlignVCenter);
  return box;
}

QWidget* HostPanelView::devicesSection() {
  auto* box = new QWidget();
  auto* stack = column(box, 7);
  stack->addWidget(new SectionLabel(q(shown_.devicesLabel)));
  auto* card = new HostCard();
  if (!shown_.devices.empty()) card->addContent(new DeviceList(shown_.devices, model_.actions(), texts_));
  if (shown_.devices.empty()) {
    auto* empty = new QWidget();
    empty->setObjectName("emptyState");
    auto* row = new QHBoxLayout(empty);
    row->setContentsMargins(14, 12, 14, 12);
    row->setSpacing(12);
    row->addWidget(new IconBadge("ipad.and.iphone", role(HostStyle::Role::textDim)));
    auto* texts = new QVBoxLayout();
    texts->setSpacing(2);
    texts->addWidget(new KitLabel(q(shown_.emptyTitle), HostFont::make(13.5, HostFont::Weight::medium),
                                  role(HostStyle::Role::text)));
    auto* detail =
        new KitLabel(keepTailTogether(q(shown_.emptyDetail)), HostFont::make(12), role(HostStyle::Role::textDim));
    detail->setWordWrap(true);
    texts->addWidget(detail);
    row->addLayout(texts, 1);
    auto* qr = new HostButton(q(shown_.emptyQrTitle));
    qr->setObjectName("emptyQr");
    qr->setEnabled(shown_.emptyQrEnabled);
    connect(qr, &QAbstractButton::clicked, this, [this] { run(PanelCommand::showQr); });
    row->addWidget(qr);
    card->addContent(empty);
  }
  stack->addWidget(card);
  return box;
}

QWidget* HostPanelView::displaySection() {
  auto* box = new QWidget();
  auto* stack = column(box, 7);
  stack->addWidget(new SectionLabel(q(shown_.displayLabel)));
  auto* tiles = new ChoiceTiles({{true, "rectangle.on.rectangle", q(shown_.extendTitle), q(shown_.extendDetail)},
                                 {false, "rectangle.fill.on.rectangle.fill", q(shown_.mirrorTitle),
                                  q(shown_.mirrorDetail)}},
                                shown_.extend, true);
  tiles->setEnabled(shown_.tilesEnabled);
  connect(tiles, &ChoiceTiles::selectionRequested, this,
          [this](const QVariant& value) { model_.actions().setExtend(value.toBool()); });
  stack->addWidget(tiles);
  auto* pen = new HostSwitch(q(shown_.penLabel), shown_.penOn);
  pen->setEnabled(shown_.penEnabled);
  connect(pen, &HostSwitch::toggleRequested, this, [this](bool on) { model_.actions().setPenHighRate(on); });
  auto* card = new HostCard();
  card->addContent(new SettingRow(q(shown_.penLabel), q(shown_.penDetail), false, std::nullopt, pen));
  stack->addWidget(card);
  return box;
}

QWidget* HostPanelView::bottom() {
  auto* box = new QWidget();
  // The footer sits 2 closer to the button than the column's spacing.
  auto* stack = column(box, 12);
  auto* toggle = new HostButton(q(shown_.startStopTitle), {shown_.startStopProminent, false, true});
  toggle->setObjectName("startStop");
  toggle->setSymbol(q(shown_.startStopSymbol));
  toggle->setEnabled(shown_.startStopEnabled);
  connect(toggle, &QAbstractButton::clicked, this, [this] { run(PanelCommand::toggleServing); });
  stack->addWidget(toggle);
  auto* footer = new QHBoxLayout();
  footer->setSpacing(2);
  for (size_t i = 0; i < shown_.footer.size(); ++i) {
    const auto& f = shown_.footer[i];
    if (i + 1 == shown_.footer.size()) footer->addStretch(1);
    auto* button = new FooterButton(q(f.symbol), q(f.help));
    button->setProperty(LiveUpdate::kKey, QString("%1/%2").arg(q(f.symbol)).arg(int(f.action)));
    button->setEnabled(f.enabled);
    const PanelCommand command = f.action;
    connect(button, &QAbstractButton::clicked, this, [this, command] { run(command); });
    footer->addWidget(button);
  }
  stack->addLayout(footer);
  return box;
}

}  // namespace lumenrail
