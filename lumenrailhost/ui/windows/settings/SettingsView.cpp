#include "ui/windows/settings/SettingsView.hpp"

#include <QApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include "app/controller/SupportActions.hpp"
#include "app/windows/SettingsPages.hpp"
#include "text/L10n.hpp"
#include "ui/components/HostBanner.hpp"
#include "ui/components/LiveUpdate.hpp"
#include "ui/style/KitParts.hpp"
#include "ui/style/SpectrumMark.hpp"
#include "ui/windows/about/AboutView.hpp"
#include "ui/windows/settings/AdvancedPage.hpp"
#include "ui/windows/settings/ConnectionPage.hpp"
#include "ui/windows/settings/DisplayPage.hpp"
#include "ui/windows/settings/PageParts.hpp"
#include "ui/windows/settings/PairingPage.hpp"
#include "ui/windows/settings/PenPage.hpp"
#include "ui/windows/settings/SettingsActions.hpp"
#include "ui/windows/settings/SidebarButton.hpp"
#include "ui/windows/settings/StartupPage.hpp"

namespace lumenrail {

using HostStyle::Role;

namespace SettingsSections {

std::string rawValue(SettingsSection section) {
  switch (section) {
    case SettingsSection::startup: return "startup";
    case SettingsSection::display: return "display";
    case SettingsSection::pen: return "pen";
    case SettingsSection::connection: return "connection";
    case SettingsSection::pairing: return "pairing";
    case SettingsSection::advanced: return "advanced";
    case SettingsSection::about: return "about";
  }
  return "";
}

std::optional<SettingsSection> fromRawValue(const std::string& raw) {
  for (auto section : allCases) {
    if (rawValue(section) == raw) return section;
  }
  return std::nullopt;
}

std::string title(SettingsSection section) { return L10n::text("settings.section." + rawValue(section)); }

std::string blurb(SettingsSection section) {
  switch (section) {
    case SettingsSection::about: return "";
    case SettingsSection::display: return L10n::text("settings.blurb.display", L10n::kProductName);
    default: return L10n::text("settings.blurb." + rawValue(section));
  }
}

const char* symbol(SettingsSection section) {
  switch (section) {
    case SettingsSection::startup: return "power";
    case SettingsSection::display: return "display";
    case SettingsSection::pen: return "applepencil";
    case SettingsSection::connection: return "link";
    case SettingsSection::pairing: return "lock";
    case SettingsSection::advanced: return "gearshape";
    case SettingsSection::about: return "info.circle";
  }
  return "";
}

}  // namespace SettingsSections

namespace {

// A plain panel in one palette colour.
class Fill final : public QWidget {
 public:
  explicit Fill(Role role) : role_(role) {
    connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
  }

 protected:
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), HostStyle::color(role_)); }

 private:
  Role role_;
};

}  // namespace

SettingsView::SettingsView(std::shared_ptr<HostSettingsModel> model, SettingsPorts ports, SettingsSection section,
                           bool scrolls, QWidget* parent)
    : QWidget(parent), model_(std::move(model)), ports_(std::move(ports)), section_(section), scrolls_(scrolls) {
  setFixedSize(kWidth, kHeight);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  row->addWidget(makeSidebar());
  auto* line = new Fill(Role::lineSoft);
  line->setFixedWidth(1);
  row->addWidget(line);

  auto* area = new Fill(Role::bg);
  auto* areaLayout = new QVBoxLayout(area);
  areaLayout->setContentsMargins(0, 0, 0, 0);
  if (scrolls_) {
    scroll_ = new QScrollArea();
    scroll_->setFrameShape(QFrame::NoFrame);
    // The keys go to the page's controls; the area itself would be a stop that shows nothing.
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->viewport()->setAutoFillBackground(false);
    areaLayout->addWidget(scroll_);
  }
  pageArea_ = area;
  row->addWidget(area, 1);

  // The model outlives no view it told: the observer checks the view is still there.
  QPointer<SettingsView> self(this);
  model_->observe([self](HostSettingsModel::Published) {
    if (self) self->scheduleRebuild();
  });
  if (section_ == SettingsSection::pairing) SettingsPages::refresh(*model_);
  rebuildBody();
}

QWidget* SettingsView::makeSidebar() {
  auto* sidebar = new Fill(Role::bgInset);
  sidebar->setFixedWidth(220);
  auto* column = new QVBoxLayout(sidebar);
  column->setContentsMargins(12, 0, 12, 16);
  column->setSpacing(2);

  auto* header = new QWidget();
  auto* headerRow = new QHBoxLayout(header);
  headerRow->setContentsMargins(10, 38, 10, 18);
  headerRow->setSpacing(10);
  headerRow->addWidget(new SpectrumMark(24));
  auto* names = new QVBoxLayout();
  names->setSpacing(1);
  names->addWidget(new KitLabel(L10n::kProductName, HostFont::make(15, HostFont::Weight::semibold),
                                HostStyle::dynamic(Role::text)));
  names->addWidget(new KitLabel(qs(L10n::text("settings.sidebar.subtitle")), HostFont::make(11),
                                HostStyle::dynamic(Role::textDim)));
  headerRow->addLayout(names, 1);
  column->addWidget(header);

  for (size_t i = 0; i < SettingsSections::allCases.size(); ++i) {
    const auto section = SettingsSections::allCases[i];
    auto* button = new SidebarButton(qs(SettingsSections::title(section)), SettingsSections::symbol(section),
                                     section == section_, false);
    connect(button, &QAbstractButton::clicked, this, [this, section] { setSection(section); });
    sectionButtons_[i] = button;
    column->addWidget(button);
  }
  column->addStretch(1);

  auto* arrange = new SidebarButton(qs(L10n::text("settings.arrangeDisplays")), "rectangle.on.rectangle", false, true);
  connect(arrange, &QAbstractButton::clicked, this,
          [this] { SettingsActions::openDisplaySettings(ports_, window()); });
  auto* log = new SidebarButton(qs(L10n::text("settings.openLog")), "doc.text", false, true);
  connect(log, &QAbstractButton::clicked, this, [this] { SettingsActions::openLog(ports_); });
  copyButton_ = new SidebarButton(qs(L10n::text("settings.copySupport")), "doc.on.doc", false, true);
  connect(copyButton_, &QAbstractButton::clicked, this, &SettingsView::copySupportReport);
  column->addWidget(arrange);
  column->addWidget(log);
  column->addWidget(copyButton_);
  return sidebar;
}

SidebarButton* SettingsView::sidebarButton(SettingsSection section) const {
  return sectionButtons_[static_cast<size_t>(section)];
}

void SettingsView::setSection(SettingsSection section) {
  if (section == section_) return;
  section_ = section;
  for (size_t i = 0; i < sectionButtons_.size(); ++i) {
    sectionButtons_[i]->setSelected(SettingsSections::allCases[i] == section_);
  }
  if (section_ == SettingsSection::pairing) {
    SettingsPages::refresh(*model_);  // publishes: the rebuild below covers it
  }
  rebuildQueued_ = false;
  rebuildBody();
}

void SettingsView::copySupportReport() {
  if (reporting_) return;
  reporting_ = true;
  // The report's facts ask the display server: made off the GUI thread,
  // copied on it.
  if (!reporter_) reporter_ = std::make_unique<SerialQueue>("lumenrail-support-report");
  QPointer<SettingsView> self(this);
  reporter_->post([self] {
    std::string report = SupportActions::buildReport();
    QMetaObject::invokeMethod(
        qApp,
        [self, report = std::move(report)] {
          if (!self) return;
          self->reporting_ = false;
          self->showCopied(report);
        },
        Qt::QueuedConnection);
  });
}

void SettingsView::showCopied(const std::string& report) {
  copyResult_ = ports_.clipboard ? SupportActions::copyReport(*ports_.clipboard, report) : false;
  showCopyResult();
  if (ports_.main) {
    copyReset_ = ports_.main->startTimer(*copyResult_ ? 2'500'000'000ULL : 5'000'000'000ULL, 0, [this] {
      copyResult_.reset();
      showCopyResult();
    });
  }
}

void SettingsView::showCopyResult() {
  if (!copyResult_) {
    copyButton_->setText(qs(L10n::text("settings.copySupport")));
    copyButton_->setSymbol("doc.on.doc");
  } else if (*copyResult_) {
    copyButton_->setText(qs(L10n::text("settings.copied")));
    copyButton_->setSymbol("checkmark");
  } else {
    copyButton_->setText(qs(L10n::text("settings.copyFailed")));
    copyButton_->setSymbol("doc.on.doc");
  }
}

void SettingsView::scheduleRebuild() {
  if (rebuildQueued_) return;
  rebuildQueued_ = true;
  // After the change that published is done: the widget that reported it
  // may be the one being replaced.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (!rebuildQueued_) return;
        // A dialog of the page (rename, confirmation) runs its own loop, and a
        // field being typed in (the port) commits only when its editing ends:
        // replacing either now would end them early. Wait for them.
        const auto* field = qobject_cast<QLineEdit*>(window()->focusWidget());
        const bool typing = field != nullptr && body_ && body_->isAncestorOf(field) && field->isModified();
        if (QApplication::activeModalWidget() != nullptr || typing) {
          // A publish meanwhile (the edit's own commit) queues at once.
          rebuildQueued_ = false;
          QTimer::singleShot(200, this, [this] { scheduleRebuild(); });
          return;
        }
        rebuildQueued_ = false;
        rebuildBody();
      },
      Qt::QueuedConnection);
}

void SettingsView::rebuildBody() {
  const int scrolledTo = scroll_ ? scroll_->verticalScrollBar()->value() : 0;
  auto* body = new QWidget();
  body->setAutoFillBackground(false);
  auto* column = new QVBoxLayout(body);
  column->setContentsMargins(30, 34, 30, 36);
  column->setSpacing(0);

  const auto pending = model_->pendingRestartFields();
  HostBanner* freshBanner = nullptr;
  if (!pending.empty()) {
    const std::weak_ptr<HostSettingsModel> weak = model_;
    freshBanner = new HostBanner("arrow.triangle.2.circlepath", qs(L10n::text("settings.restart.title")),
                             qs(SettingsPages::restartDetail(pending)),
                             HostBanner::Action{qs(L10n::text("settings.restart.action")),
                                                [weak] {
                                                  if (auto m = weak.lock(); m && m->callbacks().onApplyRestart) {
                                                    m->callbacks().onApplyRestart();
                                                  }
                                                }},
                             HostBanner::warnTint(), HostBanner::warnBackground());
    column->addWidget(freshBanner);
    column->addSpacing(18);
  }
  if (section_ != SettingsSection::about) {
    column->addWidget(new KitLabel(qs(SettingsSections::title(section_)),
                                   HostFont::make(21, HostFont::Weight::semibold), HostStyle::dynamic(Role::text)));
    column->addSpacing(3);
    auto* blurb = new KitLabel(keepTailTogether(qs(SettingsSections::blurb(section_))), HostFont::make(13),
                               HostStyle::dynamic(Role::textDim));
    blurb->setWordWrap(true);
    column->addWidget(blurb);
    column->addSpacing(20);
  }
  QWidget* page = nullptr;
  switch (section_) {
    case SettingsSection::startup: page = new StartupPage(*model_, ports_); break;
    case SettingsSection::display: page = new DisplayPage(*model_, ports_); break;
    case SettingsSection::pen: page = new PenPage(*model_, ports_); break;
    case SettingsSection::connection: page = new ConnectionPage(*model_, ports_); break;
    case SettingsSection::pairing: page = new PairingPage(*model_, ports_); break;
    case SettingsSection::advanced: page = new AdvancedPage(*model_, ports_); break;
    case SettingsSection::about: {
      auto* about = new AboutView(ports_.clipboard, ports_.opener);
      about->setMinimumHeight(440);
      page = about;
      break;
    }
  }
  column->addWidget(page);
  column->addStretch(1);
  body->setProperty(LiveUpdate::kKey, qs(SettingsSections::rawValue(section_)));

  // The same section with the same rows: the shown page takes the new values,
  // so focus, an open picker and a switch's slide stay.
  if (body_ && LiveUpdate::takeOver(*body_, *body)) {
    delete body;
    return;
  }
  page_ = page;
  banner_ = freshBanner;
  // Other rows (a rename, a forget): the keyboard stays where it was, on the
  // same control of the new page, not on whatever follows the old one.
  LiveUpdate::FocusPlace focus;
  if (body_) {
    focus = LiveUpdate::focusPlace(*body_);
    body_->hide();
    body_->deleteLater();
  }
  body_ = body;
  if (scroll_) {
    scroll_->takeWidget();
    scroll_->setWidget(body);
    body->setAutoFillBackground(false);  // setWidget turns it on: the page would sit on the palette's grey
    scroll_->verticalScrollBar()->setValue(scrolledTo);
  } else {
    pageArea_->layout()->addWidget(body);
  }
  LiveUpdate::restoreFocus(*body, focus);
}

}  // namespace lumenrail
