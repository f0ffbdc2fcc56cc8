#include "ui/windows/setup/DeviceStep.hpp"

#include "text/TrayCopy.hpp"
#include "ui/components/HostCheckBox.hpp"
#include "ui/components/LiveUpdate.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/style/HostFont.hpp"
#include "ui/windows/QrWindowController.hpp"
#include "ui/windows/setup/SetupParts.hpp"

namespace lumenrail {

using namespace SetupParts;
using HostStyle::Role;

namespace {

// The code at 148 x 148 without smoothing, on a white card, so it scans in
// either appearance.
class QrCard final : public QWidget {
 public:
  // `text` is what the code holds: the image's own bytes (row padding
  // included) may differ between two drawings of the same code.
  QrCard(QImage code, const QString& text) : code_(std::move(code)) {
    setFixedSize(148 + 24, 148 + 24);
    setProperty(LiveUpdate::kKey, text);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    paintRounded(p, QRectF(rect()), 12, Qt::white, Qt::transparent, 0);
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.drawImage(QRectF(12, 12, 148, 148), code_);
  }

 private:
  QImage code_;
};

QString withoutScheme(QString url) { return url.replace("https://", ""); }

}  // namespace

DeviceStep::DeviceStep(SetupModel& model, bool installed, QWidget* parent) : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(new KitLabel(q(L10n::text("setup.device.title", L10n::kProductName)),
                                 HostFont::make(22, HostFont::Weight::semibold), HostStyle::dynamic(Role::text)),
                    0, Qt::AlignHCenter);
  column->addSpacing(6);
  column->addWidget(new KitLabel(q(L10n::text("setup.device.subtitle")), HostFont::make(13), secondary()), 0,
                    Qt::AlignHCenter);
  column->addSpacing(22);

  auto* link = new QHBoxLayout();
  link->setSpacing(22);
  link->addStretch(1);
  const QString url = QString::fromUtf8(Brand::kUrlGetApp);
  if (const QImage code = QrWindowController::qrImage(Brand::kUrlGetApp, 6); !code.isNull()) {
    auto* card = new QrCard(code, url);
    card->setAccessibleName(q(L10n::text("setup.device.qrLabel", std::string(Brand::kUrlGetApp))));
    link->addWidget(card, 0, Qt::AlignVCenter);
  }
  auto* texts = new QVBoxLayout();
  texts->setSpacing(10);
  auto* address = new KitLabel(withoutScheme(url), HostFont::mono(12), HostStyle::dynamic(Role::text));
  address->setTextInteractionFlags(Qt::TextSelectableByMouse);
  texts->addWidget(address);
  texts->addWidget(markdown(TrayCopy::qrSteps(model.trayShown()),
                            HostFont::make(12), secondary()));
  auto* textBox = new QWidget();
  textBox->setLayout(texts);
  texts->setContentsMargins(0, 0, 0, 0);
  textBox->setMaximumWidth(250);
  link->addWidget(textBox, 0, Qt::AlignVCenter);
  link->addStretch(1);
  column->addLayout(link);
  column->addSpacing(26);

  auto* bottom = new QVBoxLayout();
  bottom->setSpacing(6);
  auto* box = new HostCheckBox(q(L10n::text("settings.startup.openAtLogin", L10n::kProductName)));
  box->setFont(HostFont::make(13));
  box->setChecked(model.openAtLogin());
  box->setEnabled(installed);
  SetupModel* m = &model;
  connect(box, &QCheckBox::toggled, box, [m](bool on) { m->setOpenAtLogin(on); });
  bottom->addWidget(box);
  bottom->addWidget(
      wrapping(q(TrayCopy::whereHint(model.trayShown())), HostFont::make(11), secondary()));
  if (!model.screenRecording()) {
    bottom->addWidget(wrapping(q(L10n::text("setup.device.screenOff", L10n::kProductName)), HostFont::make(11),
                               HostStyle::dynamic(Role::warn)));
  }
  column->addLayout(bottom);
  column->addStretch(1);
}

}  // namespace lumenrail
