#include "ui/windows/setup/WelcomeStep.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "ui/style/HostFont.hpp"
#include "ui/windows/setup/SetupParts.hpp"

namespace lumenrail {

using namespace SetupParts;
using HostStyle::Role;

namespace {

QWidget* feature(const char* symbol, const char* titleKey, const char* textKey) {
  auto* row = new QWidget();
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(14);
  auto* icon = new SymbolView(symbol, 18, BrandTheme::kAccent);
  icon->setFixedWidth(26);
  layout->addWidget(icon, 0, Qt::AlignTop);
  auto* texts = new QVBoxLayout();
  texts->setSpacing(2);
  texts->addWidget(new KitLabel(q(L10n::text(titleKey)), HostFont::make(13, HostFont::Weight::semibold),
                                HostStyle::dynamic(Role::text)));
  texts->addWidget(wrapping(q(L10n::text(textKey)), HostFont::make(12), secondary()));
  layout->addLayout(texts, 1);
  return row;
}

}  // namespace

WelcomeStep::WelcomeStep(QWidget* parent) : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  if (const auto icon = BrandTheme::appIcon()) {
    auto* image = new QLabel();
    // Drawn for a 2x screen: sharp there and in the snapshots, scaled down elsewhere.
    image->setPixmap(icon->pixmap(QSize(112, 112), 2.0));
    image->setFixedSize(112, 112);
    column->addWidget(image, 0, Qt::AlignHCenter);
    column->addSpacing(14);
  }
  column->addWidget(new KitLabel(q(L10n::text("setup.welcome.title", L10n::kProductName)),
                                 HostFont::make(26, HostFont::Weight::semibold), HostStyle::dynamic(Role::text)),
                    0, Qt::AlignHCenter);
  column->addSpacing(6);
  auto* subtitle = wrapping(q(L10n::text("setup.welcome.subtitle")), HostFont::make(14), secondary());
  subtitle->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  column->addWidget(subtitle);
  column->addSpacing(28);
  auto* features = new QWidget();
  features->setMaximumWidth(420);
  auto* list = new QVBoxLayout(features);
  list->setContentsMargins(0, 0, 0, 0);
  list->setSpacing(14);
  list->addWidget(feature("rectangle.on.rectangle", "setup.feature.extend.title", "setup.feature.extend.text"));
  list->addWidget(feature("pencil.tip", "setup.feature.draw.title", "setup.feature.draw.text"));
  list->addWidget(feature("cable.connector", "setup.feature.cable.title", "setup.feature.cable.text"));
  // Centred by stretches, not by alignment: an aligned item gets the height
  // of its size hint, not of its wrapped lines.
  auto* centred = new QHBoxLayout();
  centred->addStretch(1);
  centred->addWidget(features, 100);
  centred->addStretch(1);
  column->addLayout(centred);
  column->addStretch(1);
}

}  // namespace lumenrail
