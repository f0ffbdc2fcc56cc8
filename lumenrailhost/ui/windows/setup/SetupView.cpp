#include "ui/windows/setup/SetupView.hpp"

#include "ui/components/LiveUpdate.hpp"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QVBoxLayout>

#include "ui/components/HostButton.hpp"
#include "ui/components/HostCard.hpp"
#include "ui/windows/setup/DeviceStep.hpp"
#include "ui/windows/setup/PermissionsStep.hpp"
#include "ui/windows/setup/SetupParts.hpp"
#include "ui/windows/setup/WelcomeStep.hpp"

namespace lumenrail {

using namespace SetupParts;
using Step = SetupModel::Step;

namespace {

class SpectrumBar final : public QWidget {
 public:
  SpectrumBar() { setFixedHeight(4); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QLinearGradient gradient(0, 0, width(), 0);
    const auto colours = BrandTheme::spectrum();
    for (size_t i = 0; i < colours.size(); ++i) {
      gradient.setColorAt(static_cast<double>(i) / static_cast<double>(colours.size() - 1), colours[i]);
    }
    p.fillRect(rect(), gradient);
  }
};

}  // namespace

StepDots::StepDots(int current, int count, QWidget* parent) : QWidget(parent), current_(current), count_(count) {
  setAccessibleName(q(L10n::text("setup.stepOf", current + 1, count)));
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize StepDots::sizeHint() const { return QSize(count_ * 7 + std::max(0, count_ - 1) * 7, 7); }

void StepDots::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  const double top = (height() - 7) / 2.0;
  for (int i = 0; i < count_; ++i) {
    p.setBrush(i == current_ ? BrandTheme::accent() : secondary(0.3).resolve(Appearance::current()));
    p.drawEllipse(QRectF(i * 14.0, top, 7, 7));
  }
}

SetupView::SetupView(std::shared_ptr<SetupModel> model, SetupViewPorts ports, QWidget* parent)
    : QWidget(parent), model_(std::move(model)), ports_(std::move(ports)) {
  setFixedSize(kWidth, kHeight);
  setAutoFillBackground(true);
  const auto paint = [this] {
    QPalette p = palette();
    p.setColor(QPalette::Window, HostStyle::bg());
    setPalette(p);
  };
  paint();
  connect(&Appearance::instance(), &Appearance::changed, this, paint);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(new SpectrumBar());
  pageHost_ = new QWidget();
  auto* pageLayout = new QVBoxLayout(pageHost_);
  pageLayout->setContentsMargins(36, 34, 36, 0);
  pageLayout->setSpacing(0);
  column->addWidget(pageHost_, 1);
  column->addWidget(new RowDivider());

  auto* footer = new QHBoxLayout();
  footer->setContentsMargins(20, 14, 20, 14);
  footer->setSpacing(8);
  dotsHost_ = new QWidget();
  auto* dotsLayout = new QHBoxLayout(dotsHost_);
  dotsLayout->setContentsMargins(0, 0, 0, 0);
  footer->addWidget(dotsHost_, 0, Qt::AlignVCenter);
  footer->addStretch(1);
  back_ = new HostButton(q(L10n::text("setup.back")));
  connect(back_, &QAbstractButton::clicked, this, [this] {
    const int raw = static_cast<int>(model_->step());
    if (raw > 0) model_->setStep(static_cast<Step>(raw - 1));
  });
  footer->addWidget(back_, 0, Qt::AlignVCenter);
  primary_ = new HostButton(QString(), HostButtonStyle{.prominent = true});
  connect(primary_, &QAbstractButton::clicked, this, [this] { primaryAction(); });
  footer->addWidget(primary_, 0, Qt::AlignVCenter);
  column->addLayout(footer);

  QPointer<SetupView> self(this);
  model_->observe([self](SetupModel::Published) {
    if (self) self->rebuild();
  });
  rebuild();
}

void SetupView::rebuild() {
  const Step step = model_->step();
  const bool captured = model_->screenRecording();
  QWidget* fresh = nullptr;
  switch (step) {
    case Step::welcome: fresh = new WelcomeStep(); break;
    case Step::permissions: fresh = new PermissionsStep(*model_, ports_.relaunch); break;
    case Step::device: fresh = new DeviceStep(*model_, ports_.installed); break;
  }
  // The same step: the shown page takes the new states and keeps focus.
  if (page_ != nullptr && LiveUpdate::takeOver(*page_, *fresh)) {
    delete fresh;
  } else {
    // The old page may be the sender of the click that led here. A grant
    // found by the poll changes the page's shape: focus moves to the same
    // place on the new one.
    LiveUpdate::FocusPlace focus;
    if (page_ != nullptr) {
      focus = LiveUpdate::focusPlace(*page_);
      page_->hide();
      page_->deleteLater();
    }
    page_ = fresh;
    pageHost_->layout()->addWidget(page_);
    page_->show();
    LiveUpdate::restoreFocus(*page_, focus);
    if (dots_ != nullptr) dots_->deleteLater();
    dots_ = new StepDots(static_cast<int>(step), 3);
    dotsHost_->layout()->addWidget(dots_);
  }

  back_->setVisible(step != Step::welcome);
  QString title;
  switch (step) {
    case Step::welcome: title = q(L10n::text("setup.continue")); break;
    case Step::permissions: title = q(L10n::text(captured ? "setup.continue" : "setup.skip")); break;
    case Step::device:
      title = q(captured ? L10n::text("setup.start", L10n::kProductName) : L10n::text("setup.finish"));
      break;
  }
  primary_->setText(title);
  primary_->updateGeometry();
}

void SetupView::primaryAction() {
  switch (model_->step()) {
    case Step::welcome: model_->setStep(Step::permissions); break;
    case Step::permissions: model_->setStep(Step::device); break;
    case Step::device: model_->finish(); break;
  }
}

void SetupView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    primary_->click();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace lumenrail
