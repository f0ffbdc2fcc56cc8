#include "ui/windows/QrWindowController.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include "app/windows/QrCode.hpp"
#include "links/PairingUri.hpp"
#include "text/L10n.hpp"
#include "text/TrayCopy.hpp"
#include "ui/components/CloseKeys.hpp"
#include "ui/components/DialogLook.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/components/HostPicker.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

using HostStyle::Role;

namespace {

constexpr int kWindowWidth = 360;

QString tr8(const std::string& text) { return QString::fromStdString(text); }

// The window itself: closing (button, Escape, Done) stops the watch; Return is Done.
class QrWindow final : public QWidget {
 public:
  explicit QrWindow(std::function<void()> closed) : closed_(std::move(closed)) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAutoFillBackground(true);
    applyPalette();
    connect(&Appearance::instance(), &Appearance::changed, this, [this] { applyPalette(); });
    CloseKeys::install(*this);
  }

 protected:
  void closeEvent(QCloseEvent* event) override {
    closed_();
    event->accept();
  }
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      close();
      return;
    }
    QWidget::keyPressEvent(event);
  }

 private:
  void applyPalette() {
    QPalette p = palette();
    p.setColor(QPalette::Window, HostStyle::bg());
    p.setColor(QPalette::WindowText, HostStyle::text());
    p.setColor(QPalette::Base, HostStyle::bgInset());
    p.setColor(QPalette::Text, HostStyle::text());
    p.setColor(QPalette::Button, HostStyle::bgRaised());
    p.setColor(QPalette::ButtonText, HostStyle::text());
    p.setColor(QPalette::Highlight, BrandTheme::controlTint());
    setPalette(p);
  }
  std::function<void()> closed_;
};

// The code on a white rounded card, modules snapped to whole device pixels.
class QrCard final : public QWidget {
 public:
  explicit QrCard(QrCode::Matrix matrix) : matrix_(std::move(matrix)) { setFixedSize(272, 272); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    paintRounded(p, QRectF(rect()), 12, Qt::white, Qt::transparent, 0);
    // The target's ratio: a snapshot draws at twice the screen's.
    const double dpr = p.device()->devicePixelRatioF();
    const int modules = matrix_.size + 2;  // one module of quiet zone inside the card's margin
    const int side = static_cast<int>(240 * dpr);
    const int unit = std::max(1, side / modules);
    const int drawn = unit * modules;
    p.save();
    p.scale(1 / dpr, 1 / dpr);
    const int left = static_cast<int>(width() * dpr - drawn) / 2 + unit;
    const int top = static_cast<int>(height() * dpr - drawn) / 2 + unit;
    for (int y = 0; y < matrix_.size; ++y) {
      for (int x = 0; x < matrix_.size; ++x) {
        if (matrix_.at(x, y)) p.fillRect(left + x * unit, top + y * unit, unit, unit, Qt::black);
      }
    }
    p.restore();
  }

 private:
  QrCode::Matrix matrix_;
};

KitLabel* label(const std::string& text, const QFont& font, Role role, bool centred) {
  auto* l = new KitLabel(keepTailTogether(tr8(text)), font, HostStyle::dynamic(role));
  l->setWordWrap(true);
  l->setAlignment(centred ? Qt::AlignHCenter : Qt::AlignLeft);
  return l;
}

}  // namespace

QrWindowController::QrWindowController(uint16_t port, std::optional<Bytes> psk, QrWindowModel::Ports ports,
                                       QObject* parent)
    : QObject(parent), model_(std::make_unique<QrWindowModel>(port, std::move(psk), std::move(ports))) {
  model_->onClose = [this] { close(); };
  model_->onChange = [this] {
    if (copyButton_) copyButton_->setText(tr8(L10n::text(model_->copied() ? "qr.copied" : "qr.copyLink")));
  };
}

QrWindowController::~QrWindowController() {
  model_->onClose = nullptr;
  model_->onChange = nullptr;
}

QImage QrWindowController::qrImage(const std::string& text, int moduleScale) {
  const auto matrix = QrCode::encode(text);
  if (!matrix || moduleScale < 1) return {};
  const int quiet = 4;
  const int side = (matrix->size + 2 * quiet) * moduleScale;
  QImage image(side, side, QImage::Format_Grayscale8);
  image.fill(255);
  for (int y = 0; y < matrix->size; ++y) {
    for (int x = 0; x < matrix->size; ++x) {
      if (!matrix->at(x, y)) continue;
      for (int dy = 0; dy < moduleScale; ++dy) {
        uchar* row = image.scanLine((y + quiet) * moduleScale + dy);
        std::fill_n(row + (x + quiet) * moduleScale, moduleScale, uchar{0});
      }
    }
  }
  return image;
}

void QrWindowController::show(bool serving) {
  model_->show(serving);
  rebuildContent();
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void QrWindowController::close() {
  if (window_ && window_->isVisible()) {
    window_->close();
  } else {
    model_->stopWatching();
  }
}

void QrWindowController::rebuildContent() {
  if (!window_) {
    window_ = std::make_unique<QrWindow>([this] { model_->stopWatching(); });
    window_->setWindowTitle(tr8(L10n::text("qr.windowTitle")));
    window_->setWindowFlag(Qt::WindowStaysOnTopHint);
    window_->setWindowFlag(Qt::WindowMinMaxButtonsHint, false);
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
  }
  const bool wasVisible = window_->isVisible();
  if (content_) delete content_.data();
  content_ = makeContent();
  window_->layout()->addWidget(content_);
  DialogLook::ringEveryControl(*content_);
  window_->setFixedWidth(kWindowWidth);
  const int height = content_->layout()->heightForWidth(kWindowWidth);
  window_->setFixedHeight(height > 0 ? height : content_->sizeHint().height());
  if (!wasVisible) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      window_->move(screen->availableGeometry().center() - window_->rect().center());
    }
  }
}

QWidget* QrWindowController::makeContent() {
  auto* content = new QWidget();
  auto* stack = new QVBoxLayout(content);
  stack->setContentsMargins(24, 20, 24, 20);
  stack->setSpacing(0);
  // The space after each item; 10 unless the item asks for more.
  std::vector<std::pair<QWidget*, int>> items;
  auto add = [&](QWidget* w, int after = 10) { items.emplace_back(w, after); };

  add(label(L10n::text("qr.title"), HostFont::make(17, HostFont::Weight::semibold), Role::text, true));
  copyButton_ = nullptr;

  const auto* candidate = model_->chosen();
  // No code, nothing to scan: the subtitle goes with it.
  if (candidate != nullptr) add(label(L10n::text("qr.subtitle"), HostFont::make(12), Role::textDim, true), 16);
  if (candidate == nullptr) {
    add(label(L10n::text("qr.noNetwork"), HostFont::make(12), Role::textDim, true));
  } else {
    const std::string link = PairingUri::format(candidate->ip, model_->port(), model_->psk());
    if (auto matrix = QrCode::encode(link)) {
      add(new QrCard(std::move(*matrix)), 14);
    } else {
      add(label(L10n::text("qr.renderFailed"), HostFont::make(12), Role::textDim, false));
    }
    const auto& candidates = model_->candidates();
    if (candidates.size() < 2) {
      add(label(L10n::text("qr.endpoint", candidate->displayName, candidate->ip, std::to_string(model_->port())),
                HostFont::mono(12, HostFont::Weight::medium), Role::textDim, true));
    } else {
      auto* chooser = new HostPicker();
      chooser->setFont(HostFont::make(12));
      for (const auto& c : candidates) {
        chooser->addItem(
            tr8(L10n::text(c.isPrimary ? "qr.address.primary" : "qr.address", c.displayName, c.ip)));
      }
      chooser->setCurrentIndex(model_->chosenIndex());
      connect(chooser, &QComboBox::activated, this, [this](int index) {
        model_->choose(index);
        // Rebuilt after this signal returns: the chooser itself is replaced.
        QMetaObject::invokeMethod(this, [this] { rebuildContent(); }, Qt::QueuedConnection);
      });
      add(chooser);
    }
    auto* copy = new HostButton(tr8(L10n::text(model_->copied() ? "qr.copied" : "qr.copyLink")));
    copy->setSymbol("doc.on.doc");
    connect(copy, &QAbstractButton::clicked, this, [this] { model_->copyLink(); });
    copyButton_ = copy;
    add(copy, 14);
    add(label(L10n::text("qr.hint"), HostFont::make(11), Role::textDim, true));
    if (!model_->serving()) {
      add(label(L10n::text("qr.stopped", L10n::text("action.startServing")),
                HostFont::make(11, HostFont::Weight::medium), Role::warn, true));
    }
    items.back().second = 18;
    auto* footer = label(TrayCopy::whereHint(model_->trayShown()), HostFont::make(11),
                         Role::textDim, true);
    footer->setMaximumWidth(300);
    add(footer);
    auto* done = new HostButton(tr8(L10n::text("qr.done")), {true, false, false});
    connect(done, &QAbstractButton::clicked, this, [this] { close(); });
    add(done, 0);
  }
  for (size_t i = 0; i < items.size(); ++i) {
    // Texts take the whole width and centre themselves; controls keep their size.
    if (qobject_cast<QLabel*>(items[i].first) != nullptr) {
      stack->addWidget(items[i].first);
    } else {
      stack->addWidget(items[i].first, 0, Qt::AlignHCenter);
    }
    if (i + 1 < items.size()) stack->addSpacing(items[i].second);
  }
  return content;
}

}  // namespace lumenrail
