#include "ui/windows/InputAccessWindow.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/text/L10n.hpp"
#include "ui/style/HostFont.hpp"
#include "ui/style/HostStyle.hpp"

namespace lumenrail {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

QLabel* wrapped(const QString& text) {
  auto* label = new QLabel(text);
  label->setWordWrap(true);
  label->setFont(HostFont::make(13));
  return label;
}

}  // namespace

InputAccessWindow::InputAccessWindow(std::string command, std::function<bool()> allowed,
                                     std::shared_ptr<Clipboard> clipboard, std::shared_ptr<Executor> main)
    : QWidget(nullptr, Qt::Window),
      allowed_(std::move(allowed)),
      clipboard_(std::move(clipboard)),
      main_(std::move(main)),
      status_(wrapped({})) {
  setWindowTitle(q(L10n::text("inputAccess.title")));
  setFixedWidth(480);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(20, 18, 20, 18);
  column->setSpacing(10);
  auto* title = new QLabel(q(L10n::text("inputAccess.title")));
  title->setFont(HostFont::make(17, HostFont::Weight::semibold));
  column->addWidget(title);
  column->addWidget(wrapped(q(L10n::text("inputAccess.what", L10n::kProductName))));
  column->addWidget(wrapped(q(L10n::text("inputAccess.run"))));
  auto* row = new QHBoxLayout();
  auto* field = new QLineEdit(q(command));
  field->setObjectName("command");
  field->setReadOnly(true);
  field->setFont(HostFont::mono(12));
  field->setCursorPosition(0);
  row->addWidget(field, 1);
  auto* copy = new QPushButton(q(L10n::text("inputAccess.copy")));
  copy->setObjectName("copy");
  connect(copy, &QPushButton::clicked, this, [this, command] {
    if (clipboard_) clipboard_->setText(command);
  });
  row->addWidget(copy);
  column->addLayout(row);
  status_->setObjectName("status");
  column->addWidget(status_);
  recheck();
}

void InputAccessWindow::present() {
  recheck();
  show();
  raise();
  activateWindow();
}

void InputAccessWindow::recheck() {
  allowedShown_ = allowed_ && allowed_();
  status_->setText(q(L10n::text(allowedShown_ ? "inputAccess.allowed" : "inputAccess.notYet")));
  QPalette p = status_->palette();
  p.setColor(QPalette::WindowText, allowedShown_ ? HostStyle::ok() : HostStyle::warn());
  status_->setPalette(p);
}

void InputAccessWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  recheck_ = main_->startTimer(kRecheckNs, kRecheckNs, [weak = QPointer<InputAccessWindow>(this)] {
    if (weak) weak->recheck();
  });
}

void InputAccessWindow::hideEvent(QHideEvent* event) {
  recheck_.cancel();
  QWidget::hideEvent(event);
}

}  // namespace lumenrail
