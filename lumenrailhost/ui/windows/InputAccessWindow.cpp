#include "ui/windows/InputAccessWindow.hpp"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

#include "text/L10n.hpp"
#include "ui/components/CloseKeys.hpp"
#include "ui/components/DialogLook.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/components/HostCard.hpp"
#include "ui/style/HostFont.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

using HostStyle::Role;

QString q(const std::string& text) { return QString::fromStdString(text); }

KitLabel* wrapped(const QString& text, const QFont& font, Role role) {
  auto* label = new KitLabel(keepTailTogether(text), font, HostStyle::dynamic(role));
  label->setWordWrap(true);
  return label;
}

}  // namespace

InputAccessWindow::InputAccessWindow(std::string command, std::function<bool()> allowed,
                                     std::shared_ptr<Clipboard> clipboard, std::shared_ptr<Executor> main)
    : QWidget(nullptr, Qt::Window),
      allowed_(std::move(allowed)),
      clipboard_(std::move(clipboard)),
      main_(std::move(main)),
      status_(wrapped({}, HostFont::make(12.5, HostFont::Weight::medium), Role::warn)) {
  setWindowTitle(q(L10n::text("inputAccess.title")));
  setWindowFlag(Qt::WindowMinMaxButtonsHint, false);
  setAutoFillBackground(true);
  applyPalette();
  connect(&Appearance::instance(), &Appearance::changed, this, [this] {
    applyPalette();
    recheck();
  });
  setFixedWidth(480);
  CloseKeys::install(*this);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 20, 24, 20);
  column->setSpacing(10);
  column->addWidget(wrapped(q(L10n::text("inputAccess.title")), HostFont::make(17, HostFont::Weight::semibold),
                            Role::text));
  column->addWidget(wrapped(q(L10n::text("inputAccess.what", L10n::kProductName)), HostFont::make(13), Role::textDim));
  column->addSpacing(4);
  column->addWidget(wrapped(q(L10n::text("inputAccess.run")), HostFont::make(13), Role::text));

  // The whole command, wrapped where it must and selectable, on a card.
  auto* card = new HostCard();
  auto* inside = new QWidget();
  auto* row = new QHBoxLayout(inside);
  row->setContentsMargins(14, 11, 11, 11);
  row->setSpacing(12);
  auto* line = wrapped(q(command), HostFont::mono(12), Role::text);
  line->setObjectName("command");
  line->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  row->addWidget(line, 1);
  copy_ = new HostButton(q(L10n::text("inputAccess.copy")));
  copy_->setObjectName("copy");
  copy_->setSymbol("doc.on.doc");
  connect(copy_, &QAbstractButton::clicked, this, [this, command] {
    if (!clipboard_) return;
    clipboard_->setText(command);
    copy_->setText(q(L10n::text("qr.copied")));
    copiedReset_ = main_->startTimer(kCopiedForNs, 0, [weak = QPointer<InputAccessWindow>(this)] {
      if (weak) weak->copy_->setText(q(L10n::text("inputAccess.copy")));
    });
  });
  row->addWidget(copy_, 0, Qt::AlignTop);
  card->addContent(inside);
  column->addWidget(card);
  column->addSpacing(2);
  status_->setObjectName("status");
  column->addWidget(status_);
  column->addSpacing(8);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  auto* done = new HostButton(q(L10n::text("qr.done")), {true, false, false});
  done->setObjectName("done");
  connect(done, &QAbstractButton::clicked, this, &QWidget::close);
  buttons->addWidget(done);
  column->addLayout(buttons);
  // The command can be selected from the keys: it is a Tab stop.
  DialogLook::ringEveryControl(*this);
  recheck();
}

void InputAccessWindow::applyPalette() {
  QPalette p = palette();
  p.setColor(QPalette::Window, HostStyle::bg());
  p.setColor(QPalette::Highlight, BrandTheme::accent());
  p.setColor(QPalette::HighlightedText, HostStyle::accentInk());
  setPalette(p);
}

void InputAccessWindow::present() {
  recheck();
  if (!isVisible()) {
    adjustSize();
    // Where the host's other windows open: the middle of the main screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      move(screen->availableGeometry().center() - rect().center());
    }
  }
  show();
  raise();
  activateWindow();
}

void InputAccessWindow::recheck() {
  allowedShown_ = allowed_ && allowed_();
  status_->setText(q(L10n::text(allowedShown_ ? "inputAccess.allowed" : "inputAccess.notYet")));
  status_->setColor(HostStyle::dynamic(allowedShown_ ? Role::ok : Role::warn));
}

void InputAccessWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  recheck_ = main_->startTimer(kRecheckNs, kRecheckNs, [weak = QPointer<InputAccessWindow>(this)] {
    if (weak) weak->recheck();
  });
}

void InputAccessWindow::hideEvent(QHideEvent* event) {
  recheck_.cancel();
  copiedReset_.cancel();
  if (copy_) copy_->setText(q(L10n::text("inputAccess.copy")));
  QWidget::hideEvent(event);
}

}  // namespace lumenrail
