#pragma once

// The settings window's content: a sidebar of sections with three small
// actions, and the chosen section's page under the pending-restart banner and
// the page header. It follows the model: after a publish the page is built
// anew and, when its rows are the same, the shown one takes its values.

#include <array>
#include <memory>
#include <optional>
#include <string>

#include <QPointer>
#include <QWidget>

#include "app/windows/HostSettingsModel.hpp"
#include "app/windows/WindowPorts.hpp"
#include "platform/SerialQueue.hpp"
#include "ui/components/HostBanner.hpp"

class QScrollArea;
class QVBoxLayout;

namespace lumenrail {


class SidebarButton;

enum class SettingsSection { startup, display, pen, connection, pairing, advanced, about };

namespace SettingsSections {
inline constexpr std::array<SettingsSection, 7> allCases = {
    SettingsSection::startup, SettingsSection::display,  SettingsSection::pen,  SettingsSection::connection,
    SettingsSection::pairing, SettingsSection::advanced, SettingsSection::about};
std::string rawValue(SettingsSection section);
std::optional<SettingsSection> fromRawValue(const std::string& raw);
std::string title(SettingsSection section);
// "" for the about section.
std::string blurb(SettingsSection section);
const char* symbol(SettingsSection section);
}  // namespace SettingsSections

class SettingsView final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 780;
  static constexpr int kHeight = 560;

  // `scrolls` puts the page in a scroll view (the window); snapshots lay it
  // out at full height.
  SettingsView(std::shared_ptr<HostSettingsModel> model, SettingsPorts ports,
               SettingsSection section = SettingsSection::startup, bool scrolls = true, QWidget* parent = nullptr);

  SettingsSection section() const { return section_; }
  void setSection(SettingsSection section);
  // The outcome of the last support-report copy while it is shown.
  std::optional<bool> copyResult() const { return copyResult_; }
  void copySupportReport();

  // What is shown now, for tests and snapshots.
  QWidget* page() const { return page_; }
  HostBanner* banner() const { return banner_; }
  SidebarButton* sidebarButton(SettingsSection section) const;
  SidebarButton* copyButton() const { return copyButton_; }

 private:
  QWidget* makeSidebar();
  void scheduleRebuild();
  void rebuildBody();
  void showCopyResult();
  void showCopied(const std::string& report);

  std::shared_ptr<HostSettingsModel> model_;
  SettingsPorts ports_;
  SettingsSection section_;
  bool scrolls_;
  std::optional<bool> copyResult_;
  Executor::Timer copyReset_;
  bool rebuildQueued_ = false;
  std::array<SidebarButton*, 7> sectionButtons_{};
  SidebarButton* copyButton_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QPointer<QWidget> body_;
  QWidget* pageArea_ = nullptr;
  QPointer<QWidget> page_;
  QPointer<HostBanner> banner_;
  // Makes the support report off the GUI thread, from the first copy on; the
  // view waits for a report being made when it goes.
  std::unique_ptr<SerialQueue> reporter_;
  bool reporting_ = false;  // GUI thread
};

}  // namespace lumenrail
