#include "app/windows/SetupModel.hpp"

#include "text/ProductIdentity.hpp"

namespace lumenrail {

std::optional<SetupModel::Step> SetupModel::stepFrom(int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<Step>(raw);
}

SetupModel::SetupModel(std::function<void(bool)> onFinish, std::optional<Step> step, Ports ports)
    : ports_(std::move(ports)), onFinish_(std::move(onFinish)) {
  if (ports_.probe) {
    screenRecording_ = ports_.probe->screenCapture();
    accessibility_ = ports_.probe->mayPostInput();
  }
  if (step) {
    step_ = *step;
  } else if (ports_.defaults) {
    step_ = stepFrom(ports_.defaults->integer(kResumeStepKey)).value_or(Step::welcome);
  }
  askedScreen_ = ports_.defaults && ports_.defaults->boolean(kAskedScreenKey);
  openAtLogin_ = ports_.installed;
}

void SetupModel::observe(std::function<void(Published)> observer) { observers_.push_back(std::move(observer)); }

void SetupModel::publish(Published what) {
  for (const auto& observer : observers_) observer(what);
}

void SetupModel::setStep(Step step) {
  step_ = step;
  publish(Published::step);
  if (ports_.defaults) ports_.defaults->set({{kResumeStepKey, static_cast<int>(step)}});
}

void SetupModel::setOpenAtLogin(bool on) {
  openAtLogin_ = on;
  publish(Published::openAtLogin);
}

void SetupModel::askScreenRecording() {
  // Nothing on Linux asks the user for screen capture; the poll sees a grant.
  HostPermissions::openPrivacyPane("Privacy_ScreenCapture", ports_.log);
  askedScreen_ = true;
  publish(Published::askedScreen);
  if (ports_.defaults) ports_.defaults->set({{kAskedScreenKey, true}});
}

void SetupModel::askAccessibility() {
  if (ports_.showInputAccess) {
    ports_.showInputAccess();
    return;
  }
  HostPermissions::openPrivacyPane("Privacy_Accessibility", ports_.log);
}

void SetupModel::refresh() {
  if (!ports_.probe) return;
  const bool screen = ports_.probe->screenCapture();
  const bool input = ports_.probe->mayPostInput();
  if (screen != screenRecording_) {
    screenRecording_ = screen;
    publish(Published::screenRecording);
  }
  if (input != accessibility_) {
    accessibility_ = input;
    publish(Published::accessibility);
  }
}

void SetupModel::startPolling() {
  if (poll_.armed() || !ports_.main) return;
  // The timer is ours and stops ticking when destroyed, so a tick never
  // outlives the model.
  poll_ = ports_.main->startTimer(kPollIntervalNs, kPollIntervalNs, [this] { refresh(); });
}

void SetupModel::stopPolling() { poll_.cancel(); }

void SetupModel::finish() const {
  if (onFinish_) onFinish_(openAtLogin_);
}

namespace SetupAssistant {

bool shouldShowOnLaunch(const UserDefaults& defaults, HostPermissions::Probe& probe, bool installed) {
  if (!installed) return false;
  if (!defaults.string(SetupModel::kCompletedVersionKey)) return true;
  return !probe.screenCapture();
}

void markCompleted(UserDefaults& defaults) {
  defaults.set({{SetupModel::kCompletedVersionKey, ProductIdentity::kVersion}});
  defaults.remove(SetupModel::kResumeStepKey);
}

}  // namespace SetupAssistant
}  // namespace lumenrail
