#include "app/controller/UpdateNotices.hpp"

#include <algorithm>

#include "settings/UpdateCheck.hpp"
#include "text/ProductIdentity.hpp"

namespace lumenrail {

UpdateNotices::UpdateNotices(Ports ports, Hooks hooks) : ports_(std::move(ports)), hooks_(std::move(hooks)) {}

void UpdateNotices::say(const std::string& line) const {
  if (ports_.log) ports_.log(line);
}

void UpdateNotices::changed() const {
  if (hooks_.changed) hooks_.changed();
}

void UpdateNotices::apply(bool checkForUpdates) {
  if (checkForUpdates) {
    if (checker_ || !ports_.makeUpdateChecker) return;
    const std::weak_ptr<UpdateNotices> weak = weak_from_this();
    UpdateCheckerRequest request;
    request.running = ProductIdentity::kVersion;
    request.platform = ProductIdentity::kPlatform;
    request.onUpdate = [weak](const UpdateRelease& release) {
      auto self = weak.lock();
      if (!self) return;
      self->availableUpdate_ = release;
      self->changed();
    };
    request.onVerdict = [weak](HostUpdate update, const std::string& version, int64_t minClient) {
      auto self = weak.lock();
      if (!self) return;
      self->verdict_ = {std::max<int64_t>(minClient, 0), update, version};
      self->changed();
      if (self->hooks_.verdictChanged) self->hooks_.verdictChanged(self->verdict_);
    };
    checker_ = ports_.makeUpdateChecker(std::move(request));
    if (checker_) checker_->start();
    return;
  }
  stop();
  checker_.reset();
  availableUpdate_.reset();
  verdict_ = {};
  changed();
  if (hooks_.verdictChanged) hooks_.verdictChanged(verdict_);
  say("[update] check off (settings: checkForUpdates=false)");
}

void UpdateNotices::stop() {
  if (checker_) checker_->stop();
}

void UpdateNotices::openUpdate() {
  if (!availableUpdate_ || !UpdateCheck::isAllowedLink(availableUpdate_->url) || !ports_.opener) return;
  ports_.opener->open(availableUpdate_->url, [](bool) {});
  say("[update] opened " + availableUpdate_->url);
}

void UpdateNotices::clientMustUpdate(const std::optional<std::string>& deviceName) {
  clientAppUpdate_ = deviceName.value_or("");
  changed();
  say("[version] asked the owner to update the app on " + deviceName.value_or("an unnamed device"));
}

void UpdateNotices::dismissClientAppUpdate() {
  clientAppUpdate_.reset();
  changed();
}

}  // namespace lumenrail
