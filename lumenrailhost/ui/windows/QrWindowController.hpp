#pragma once

// The pairing window: the link of this host as a QR code for the chosen LAN
// address, the address chooser, copying the link, and the stopped line. The
// window is made on first show and kept, so the owner reuses one controller
// while its port and key stay the same (`model().builtFor`).

#include <memory>
#include <optional>

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include "app/windows/QrWindowModel.hpp"

class QAbstractButton;

namespace lumenrail {

class QrWindowController final : public QObject {
  Q_OBJECT

 public:
  QrWindowController(uint16_t port, std::optional<Bytes> psk, QrWindowModel::Ports ports, QObject* parent = nullptr);
  ~QrWindowController() override;

  // Reads the addresses, rebuilds the content and brings the window to the
  // front; the connection watch starts again from the current count.
  void show(bool serving);
  // As the close button, Done or Escape would.
  void close();

  QrWindowModel& model() { return *model_; }
  // Nothing before the first show.
  QWidget* window() const { return window_.get(); }

  // `text` as a QR code, each module `moduleScale` pixels square with a
  // quiet zone of four modules, black on white; null when it cannot be encoded.
  static QImage qrImage(const std::string& text, int moduleScale);

 private:
  void rebuildContent();
  QWidget* makeContent();

  std::unique_ptr<QrWindowModel> model_;
  std::unique_ptr<QWidget> window_;
  QPointer<QWidget> content_;
  QPointer<QAbstractButton> copyButton_;
};

}  // namespace lumenrail
