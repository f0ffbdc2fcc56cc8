#pragma once

// The About content: icon, name, version, the maker's word mark, four links
// and the legal line. Shown by the About window and the settings window's
// about section.

#include <memory>

#include <QWidget>

#include "app/controller/AppPorts.hpp"
#include "platform/SerialQueue.hpp"

namespace lumenrail {

class AboutView final : public QWidget {
  Q_OBJECT

 public:
  static constexpr const char* kMakerSite = "https://quillmark.example/";
  static constexpr const char* kMakerPrivacy = "https://quillmark.example/privacy";
  static constexpr const char* kLegalNotice = "© 2026 Quillmark. Free software under GPL-3.0-or-later.";

  AboutView(std::shared_ptr<Clipboard> clipboard, std::shared_ptr<UrlOpener> opener, QWidget* parent = nullptr);

 private:
  QWidget* link(const QString& title, std::function<void()> action);

  std::shared_ptr<Clipboard> clipboard_;
  std::shared_ptr<UrlOpener> opener_;
  // Gathers the feedback's facts off the GUI thread, from the first ask on;
  // the view waits for facts being gathered when it goes.
  std::unique_ptr<SerialQueue> gatherer_;
  bool gathering_ = false;  // GUI thread
};

}  // namespace lumenrail
