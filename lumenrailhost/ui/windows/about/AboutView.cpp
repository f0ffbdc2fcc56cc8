#include "ui/windows/about/AboutView.hpp"

#include <QApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/controller/SupportActions.hpp"
#include "app/controller/SupportActions.hpp"
#include "text/L10n.hpp"
#include "text/ProductIdentity.hpp"
#include "ui/components/AccentLink.hpp"
#include "ui/components/HostCard.hpp"
#include "ui/qt/MenuBarAlert.hpp"
#include "ui/style/KitParts.hpp"
#include "ui/windows/about/QuillmarkLockup.hpp"

namespace lumenrail {

using HostStyle::Role;

namespace {

// Placed like every other alert.
void tellNoMailApp(const std::string& message, const std::string& info) {
  QMessageBox box;
  box.setText(QString::fromStdString(message));
  box.setInformativeText(QString::fromStdString(info));
  MenuBarAlert::addButton(box, QString::fromStdString(L10n::text("action.ok")));
  MenuBarAlert::dress(box, MenuBarAlert::AlertMark::info);
  MenuBarAlert::runModalOnMenuBarScreen(box);
}

}  // namespace

AboutView::AboutView(std::shared_ptr<Clipboard> clipboard, std::shared_ptr<UrlOpener> opener, QWidget* parent)
    : QWidget(parent), clipboard_(std::move(clipboard)), opener_(std::move(opener)) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addStretch(1);
  column->addSpacing(24);
  if (const auto icon = BrandTheme::appIcon()) {
    auto* image = new QLabel();
    // Drawn for a 2x screen: sharp there and in the snapshots, scaled down elsewhere.
    image->setPixmap(icon->pixmap(QSize(72, 72), 2.0));
    image->setFixedSize(72, 72);
    column->addWidget(image, 0, Qt::AlignHCenter);
    column->addSpacing(6);
  }
  column->addWidget(new KitLabel(L10n::kProductName, HostFont::make(26, HostFont::Weight::semibold),
                                 HostStyle::dynamic(Role::text)),
                    0, Qt::AlignHCenter);
  column->addSpacing(2);
  column->addWidget(new KitLabel(QString::fromStdString(L10n::text("about.version", ProductIdentity::kVersion)),
                                 HostFont::make(12), HostStyle::dynamic(Role::textDim)),
                    0, Qt::AlignHCenter);
  auto* divider = new QWidget();
  auto* dividerLayout = new QHBoxLayout(divider);
  dividerLayout->setContentsMargins(60, 18, 60, 18);
  dividerLayout->addWidget(new RowDivider());
  // Across the window but 60 on either side.
  column->addWidget(divider);
  column->addWidget(new QuillmarkLockup(18), 0, Qt::AlignHCenter);
  column->addSpacing(20);

  auto* links = new QHBoxLayout();
  links->setSpacing(16);
  links->addStretch(1);
  const auto open = [this](std::string url) {
    return [this, url = std::move(url)] {
      // Only a well-formed link is handed on.
      if (opener_ && QUrl(QString::fromStdString(url), QUrl::StrictMode).isValid()) opener_->open(url, {});
    };
  };
  links->addWidget(link(QString::fromStdString(L10n::text("about.link.website")), open(kMakerSite)));
  links->addWidget(link(QString::fromStdString(L10n::text("about.link.privacy")), open(kMakerPrivacy)));
  links->addWidget(link(QString::fromStdString(L10n::text("about.link.help")), open(SupportActions::helpURL())));
  QPointer<AboutView> self(this);
  links->addWidget(link(QString::fromStdString(L10n::text("about.link.feedback")), [this, self] {
    if (!clipboard_ || !opener_) return;
    if (gathering_) return;
    gathering_ = true;
    // The facts ask the display server: gathered off the GUI thread, sent from it.
    if (!gatherer_) gatherer_ = std::make_unique<SerialQueue>("lumenrail-feedback-facts");
    gatherer_->post([self, clipboard = clipboard_, opener = opener_] {
      auto gathered = SupportActions::gatherFeedback();
      QMetaObject::invokeMethod(
          qApp,
          [self, clipboard, opener, gathered = std::move(gathered)] {
            if (!self) return;
            self->gathering_ = false;
            SupportActions::sendFeedback(*clipboard, *opener, gathered,
                                         [self](const std::string& message, const std::string& info) {
                                           // The opener answers on its own thread.
                                           QMetaObject::invokeMethod(
                                               qApp, [message, info] { tellNoMailApp(message, info); },
                                               Qt::QueuedConnection);
                                         });
          },
          Qt::QueuedConnection);
    });
  }));
  links->addStretch(1);
  column->addLayout(links);
  column->addSpacing(14);
  column->addWidget(new KitLabel(kLegalNotice, HostFont::make(11), HostStyle::dynamic(Role::textDim)), 0,
                    Qt::AlignHCenter);
  column->addSpacing(18);
  column->addStretch(1);
}

QWidget* AboutView::link(const QString& title, std::function<void()> action) {
  auto* button = new AccentLink(title);
  connect(button, &QAbstractButton::clicked, this, std::move(action));
  return button;
}

}  // namespace lumenrail
