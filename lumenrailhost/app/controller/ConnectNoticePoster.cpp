#include "app/controller/ConnectNoticePoster.hpp"

#include <cstdio>

#include "platform/Crypto.hpp"
#include "text/L10n.hpp"

namespace lumenrail {

ConnectNoticePoster::ConnectNoticePoster(std::shared_ptr<Notifier> notifier, bool available, NowNs now,
                                         Log::Sink log)
    : notifier_(std::move(notifier)),
      available_(available && notifier_ != nullptr),
      announcer_(std::move(now)),
      log_(log ? std::move(log) : Log::Sink([](const std::string&) {})) {}

std::string ConnectNoticePoster::requestId() {
  Bytes b = Crypto::randomBytes(16);
  b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);
  std::string out = "connect-";
  for (size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", b[i]);
    out += hex;
  }
  return out;
}

void ConnectNoticePoster::sessionNamed(const std::string& name, bool overNetwork, ConnectNotice policy) {
  const std::string transport = overNetwork ? "Wi-Fi" : "USB";
  const std::string shown = name.empty() ? "<unnamed>" : name;
  const std::string what = shown + " connected over " + transport;
  if (!ConnectNotices::shouldAnnounce(policy, overNetwork)) {
    log_("[notice] " + what + ": not announced (connectNotice=" + std::string(ConnectNotices::rawValue(policy)) + ")");
    return;
  }
  if (!announcer_.admit(name, overNetwork)) {
    log_("[notice] " + what + ": announced <30 s ago, quiet");
    return;
  }
  const std::string device = name.empty() ? L10n::text("notice.connected.unnamed") : name;
  const std::string body = L10n::text(overNetwork ? "notice.connected.wifi" : "notice.connected.usb", device);
  if (!available_) {
    log_("[notice] " + what + " (no app bundle: log only)");
    return;
  }
  // The completions hold copies, never the poster: it may be gone by then.
  auto notifier = notifier_;
  auto log = log_;
  const std::string usage = shown + " over " + transport;
  notifier->authorize([notifier, log, usage, what, body](bool granted, const std::string& reason) {
    if (!granted) {
      log("[notice] Notification Center refused (" + (reason.empty() ? std::string("not allowed") : reason) +
          "): " + usage);
      return;
    }
    const Notifier::Notification notice{requestId(), L10n::kProductName, body};
    notifier->post(notice, [log, what](const std::string& error) {
      log(error.empty() ? "[notice] posted: " + what : "[notice] post failed: " + error);
    });
  });
}

}  // namespace lumenrail
