#pragma once

// The About window: made once, hidden on close, shown again by its owner.

#include <memory>

#include <QObject>
#include <QWidget>

#include "app/controller/AppPorts.hpp"

namespace lumenrail {

class AboutWindowController final : public QObject {
  Q_OBJECT

 public:
  AboutWindowController(std::shared_ptr<Clipboard> clipboard, std::shared_ptr<UrlOpener> opener,
                        QObject* parent = nullptr);
  ~AboutWindowController() override;

  // Brings the window to the front.
  void show();
  QWidget* window() const { return window_.get(); }

 private:
  std::unique_ptr<QWidget> window_;
};

}  // namespace lumenrail
