#pragma once

// The setup assistant's model: the page shown, the two grants (kept current
// by a 1-second poll while the window is open), whether screen capture was
// asked for, and the open-at-login choice handed back at the finish. The
// assistant's progress lives in three keys of the user defaults. Main thread
// only.

#include <functional>
#include <memory>
#include <optional>

#include "app/controller/AppPorts.hpp"
#include "platform/UserDefaults.hpp"
#include "ports/HostPermissions.hpp"

namespace lumenrail {

class SetupModel final {
 public:
  enum class Step : int { welcome = 0, permissions = 1, device = 2 };
  static std::optional<Step> stepFrom(int64_t raw);

  static constexpr const char* kResumeStepKey = "setup.resumeStep";
  static constexpr const char* kAskedScreenKey = "setup.askedScreenRecording";
  static constexpr const char* kCompletedVersionKey = "setup.completedVersion";
  static constexpr uint64_t kPollIntervalNs = 1'000'000'000;

  enum class Published { step, screenRecording, accessibility, askedScreen, openAtLogin };

  struct Ports {
    std::shared_ptr<UserDefaults> defaults;
    std::shared_ptr<HostPermissions::Probe> probe;
    std::shared_ptr<Executor> main;  // polls the grants; none: no polling
    bool installed = false;  // running from an installed tree
    Log::Sink log = Log::line;
    // The window that says how input is allowed; none: a log line.
    std::function<void()> showInputAccess;
    // Whether the icon is in a tray now; none: it is.
    std::function<bool()> trayShown;
  };

  // No step: resume where the user left off. Reads the grants; writes nothing.
  SetupModel(std::function<void(bool openAtLogin)> onFinish, std::optional<Step> step, Ports ports);
  SetupModel(const SetupModel&) = delete;
  SetupModel& operator=(const SetupModel&) = delete;

  void observe(std::function<void(Published)> observer);

  Step step() const { return step_; }
  // Publishes, then stores the step to resume at.
  void setStep(Step step);
  bool screenRecording() const { return screenRecording_; }
  bool accessibility() const { return accessibility_; }
  bool askedScreen() const { return askedScreen_; }
  bool openAtLogin() const { return openAtLogin_; }
  bool trayShown() const { return !ports_.trayShown || ports_.trayShown(); }
  void setOpenAtLogin(bool on);

  // Says there is no pane to open, and remembers that it was asked.
  void askScreenRecording();
  // Nothing asks the user for input access on Linux: the line says what it takes.
  void askAccessibility();
  // Re-reads both grants; publishes only what changed.
  void refresh();
  // One poll at a time; a second call while polling does nothing.
  void startPolling();
  void stopPolling();
  bool polling() const { return poll_.armed(); }

  void finish() const;

 private:
  void publish(Published what);

  Ports ports_;
  const std::function<void(bool)> onFinish_;
  Step step_ = Step::welcome;
  bool screenRecording_ = false;
  bool accessibility_ = false;
  bool askedScreen_ = false;
  bool openAtLogin_ = false;
  Executor::Timer poll_;
  std::vector<std::function<void(Published)>> observers_;
};

// Whether the assistant is due at launch, and its completion.
namespace SetupAssistant {

bool shouldShowOnLaunch(const UserDefaults& defaults, HostPermissions::Probe& probe, bool installed);
void markCompleted(UserDefaults& defaults);

}  // namespace SetupAssistant
}  // namespace lumenrail
