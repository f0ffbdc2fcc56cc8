#include "ui/windows/setup/PermissionsStep.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/components/AccentLink.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/style/HostFont.hpp"
#include "ui/windows/setup/SetupParts.hpp"

namespace lumenrail {

using namespace SetupParts;
using HostStyle::Role;

namespace {

struct PermissionRow {
  const char* symbol;
  const char* title;
  const char* text;
  bool granted;
  bool required;
  std::pair<QString, std::function<void()>> action;
  bool relaunch;
};

class RowCard final : public QWidget {
 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    paintRounded(p, QRectF(rect()), 10, secondary(0.08).resolve(Appearance::current()), Qt::transparent, 0);
  }
};

QWidget* makeRow(PermissionRow row, const std::function<void()>& relaunch) {
  auto* card = new RowCard();
  auto* layout = new QHBoxLayout(card);
  layout->setContentsMargins(14, 14, 14, 14);
  layout->setSpacing(14);
  auto* icon = new SymbolView(row.symbol, 20, BrandTheme::kAccent);
  icon->setFixedWidth(30);
  layout->addWidget(icon, 0, Qt::AlignVCenter);

  auto* texts = new QVBoxLayout();
  texts->setSpacing(3);
  auto* heading = new QHBoxLayout();
  heading->setSpacing(6);
  heading->addWidget(new KitLabel(q(L10n::text(row.title)), HostFont::make(13, HostFont::Weight::semibold),
                                  HostStyle::dynamic(Role::text)));
  if (!row.required) {
    heading->addWidget(new KitLabel(q(L10n::text("setup.permissions.optional")), HostFont::make(10), secondary()), 0,
                       Qt::AlignBaseline);
  }
  heading->addStretch(1);
  texts->addLayout(heading);
  texts->addWidget(wrapping(q(L10n::text(row.text)), HostFont::make(12), secondary()));
  if (row.relaunch) {
    texts->addSpacing(2);
    auto* link = new AccentLink(q(L10n::text("setup.permissions.relaunch", L10n::kProductName)), Qt::AlignLeft | Qt::AlignVCenter);
    QObject::connect(link, &QAbstractButton::clicked, link, [relaunch] {
      if (relaunch) relaunch();
    });
    texts->addWidget(link, 0, Qt::AlignLeft);
  }
  layout->addLayout(texts, 1);
  layout->addSpacing(8);

  if (row.granted) {
    // The light green darkened to read as text on the light card (4.5:1).
    const DynamicColor allowed{0x30D158, 0x1A7A32, 1.0, std::nullopt};
    auto* granted = new QWidget();
    auto* g = new QHBoxLayout(granted);
    g->setContentsMargins(0, 0, 0, 0);
    g->setSpacing(4);
    g->addWidget(new SymbolView("checkmark.circle.fill", 13, allowed));
    g->addWidget(new KitLabel(q(L10n::text("setup.permissions.allowed")), HostFont::make(12, HostFont::Weight::medium),
                              allowed));
    granted->setObjectName("granted");
    layout->addWidget(granted, 0, Qt::AlignVCenter);
  } else {
    auto* button = new HostButton(row.action.first);
    QObject::connect(button, &QAbstractButton::clicked, button, row.action.second);
    layout->addWidget(button, 0, Qt::AlignVCenter);
  }
  // One element for assistive technology: the title says what the row is,
  // and its state follows.
  card->setAccessibleName(q(L10n::text(row.title)) + ", " +
                          (row.granted ? q(L10n::text("setup.permissions.allowed")) : row.action.first));
  return card;
}

}  // namespace

PermissionsStep::PermissionsStep(SetupModel& model, std::function<void()> relaunch, QWidget* parent)
    : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(new KitLabel(q(L10n::text("setup.permissions.title")),
                                 HostFont::make(22, HostFont::Weight::semibold), HostStyle::dynamic(Role::text)));
  column->addSpacing(6);
  column->addWidget(
      wrapping(q(L10n::text("setup.permissions.subtitle", L10n::kProductName)), HostFont::make(13), secondary()));
  column->addSpacing(22);
  const QString allow = q(L10n::text("setup.permissions.allow"));
  SetupModel* m = &model;
  column->addWidget(makeRow({"rectangle.dashed.badge.record", "setup.permissions.screen.title",
                             "setup.permissions.screen.text", model.screenRecording(), true,
                             {allow, [m] { m->askScreenRecording(); }},
                             model.askedScreen() && !model.screenRecording()},
                            relaunch));
  column->addSpacing(12);
  column->addWidget(makeRow({"hand.point.up.left", "setup.permissions.accessibility.title",
                             "setup.permissions.accessibility.text", model.accessibility(), false,
                             {allow, [m] { m->askAccessibility(); }}, false},
                            relaunch));
  column->addSpacing(18);
  column->addWidget(
      markdown(L10n::md("setup.permissions.localNetwork", L10n::kProductName), HostFont::make(11), secondary()));
  column->addSpacing(8);
  column->addWidget(
      markdown(L10n::md("setup.permissions.monthly", L10n::kProductName), HostFont::make(11), secondary()));
  column->addStretch(1);
}

}  // namespace lumenrail
