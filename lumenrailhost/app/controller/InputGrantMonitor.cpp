#include "app/controller/InputGrantMonitor.hpp"

#include "text/L10n.hpp"

namespace lumenrail {

InputGrantMonitor::InputGrantMonitor(Ports ports, Hooks hooks)
    : ports_(std::move(ports)),
      hooks_(std::move(hooks)),
      watch_([probe = ports_.probe] { return probe && probe->mayPostInput(); }) {}

void InputGrantMonitor::say(const std::string& line) const {
  if (ports_.log) ports_.log(line);
}

void InputGrantMonitor::start() {
  timer_.cancel();
  timer_ = ports_.main->startTimer(kPollNs, kPollNs, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->poll();
  });
}

void InputGrantMonitor::stop() {
  timer_.cancel();
  poll();
}

void InputGrantMonitor::poll() {
  const bool clientConnected = hooks_.clientConnected && hooks_.clientConnected();
  const auto edge = watch_.poll(clientConnected);
  if (!edge) return;
  if (hooks_.changed) hooks_.changed();
  if (*edge == InputGrantWatch::Edge::blocked) {
    say("[pen] WARN: input access is OFF with a client connected — pen/touch/key input DROPPED");
    ports_.main->post([weak = weak_from_this()] {
      // Not held across the alert's nested loop: the controller may go
      // meanwhile, and this monitor with it.
      if (InputGrantMonitor* self = weak.lock().get()) self->showBlocked();
    });
    return;
  }
  // This alert and no other: a pairing question may be up above it.
  if (alert_) alert_->end(1001);
  say(clientConnected ? "[pen] input access is back — input injection works again"
                      : "[pen] input-blocked notice cleared (no client connected)");
}

void InputGrantMonitor::showBlocked() {
  if (alert_ || !ports_.alerts) return;
  if (everQuieted_ && ports_.main->nowNs() < quietUntilNs_) return;
  AlertRunner::Content content;
  content.title = L10n::text("inputBlocked.title");
  content.detail = L10n::text("inputBlocked.detail");
  content.buttons = {L10n::text("action.openAccessibility"), L10n::text("action.ok")};
  auto alert = ports_.alerts->make(content);
  alert_ = alert;
  const std::weak_ptr<InputGrantMonitor> weak = weak_from_this();
  const int response = alert->runModal();
  if (weak.expired()) return;  // the nested loop has outlived the monitor
  if (response == 1000 && hooks_.openAccessibility) hooks_.openAccessibility();
  alert_.reset();
  everQuieted_ = true;
  quietUntilNs_ = ports_.main->nowNs() + kQuietNs;
}

}  // namespace lumenrail
