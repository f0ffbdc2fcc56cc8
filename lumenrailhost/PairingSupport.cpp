#include "PairingSupport.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>
#include <mutex>

#include "links/HostIdentity.hpp"
#include "links/HostPairingStore.hpp"
#include "links/PairedDevicesStore.hpp"
#include "links/PairingProtocol.hpp"
#include "platform/Clock.hpp"
#include "platform/Utf8.hpp"

namespace lumenrail::PairingSupport {

namespace {

constexpr int64_t kApprovalTimeoutSeconds = 120;
// An answer longer than this is not a yes: the rest of the line is read and dropped.
constexpr size_t kMaxAnswer = 256;

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

enum class LineResult { line, endOfInput, timedOut };

// One line, read a byte at a time so nothing after it is taken from the
// descriptor (the next question reads the next line).
LineResult readLine(int fd, uint64_t deadlineNs, std::string& out) {
  bool any = false;
  for (;;) {
    const uint64_t now = uptimeNs();
    if (now >= deadlineNs) return LineResult::timedOut;
    pollfd p{fd, POLLIN, 0};
    const int waitMs = static_cast<int>(std::min<uint64_t>((deadlineNs - now + kNsPerMs - 1) / kNsPerMs, 1'000'000));
    const int ready = ::poll(&p, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return any ? LineResult::line : LineResult::endOfInput;
    }
    if (ready == 0) continue;
    if (p.revents & POLLNVAL) return any ? LineResult::line : LineResult::endOfInput;  // no standard input at all
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return any ? LineResult::line : LineResult::endOfInput;
    any = true;
    if (c == '\n') return LineResult::line;
    if (out.size() < kMaxAnswer) out.push_back(c);
  }
}

// One question on the console at a time: two devices pairing at once are
// asked one after the other, each question naming its fingerprint.
std::mutex& consoleGate() {
  static std::mutex gate;
  return gate;
}

}  // namespace

std::optional<WireServer::Pairing> load(WireServer::Pairing::Approve approve,
                                        WireServer::Pairing::CancelApprove cancelApprove, const Log::Sink& log) {
  auto say = [&](const std::string& text) {
    if (log) {
      log(text);
    } else {
      Log::line(text);
    }
  };
  std::optional<Ed25519PrivateKey> identity;
  try {
    identity = HostIdentity::loadOrCreate(log);
  } catch (const std::exception& e) {
    say("[pair] FAILED to load the host identity (" + std::string(e.what()) + ") — pairing disabled");
    return std::nullopt;
  }
  auto store = std::make_shared<PairedDevicesStore>(HostPairingStore::directory() / "paired-devices.json", log);
  WireServer::Pairing pairing(*identity, store, std::move(approve), std::move(cancelApprove));
  pairing.approvalTimeoutSeconds = kApprovalTimeoutSeconds;
  say("[pair] host identity " + PairingProtocol::fingerprint(identity->publicKey()) + " — " +
      std::to_string(store->all().size()) + " paired device(s)");
  return pairing;
}

std::string groupedCode(const std::string& sas) {
  if (sas.size() != 6) return sas;
  return sas.substr(0, 3) + " " + sas.substr(3);
}

bool consoleApprove(const std::string& sas, const std::string& fingerprint, const std::string& name) {
  return consoleApproveOn(STDIN_FILENO, STDOUT_FILENO, sas, fingerprint, name, kApprovalTimeoutSeconds * 1000);
}

bool consoleApproveOn(int inFd, int outFd, const std::string& sas, const std::string& fingerprint,
                      const std::string& name, int64_t timeoutMs) {
  std::lock_guard gate(consoleGate());
  // Names come from the device: shown only without control and format characters.
  const std::string cleanName = PairingProtocol::withoutControlCharacters(name);
  const std::string label = cleanName.empty() ? fingerprint : cleanName + " (" + fingerprint + ")";
  // Keys pressed before the question are no answer to it.
  if (::isatty(inFd)) ::tcflush(inFd, TCIFLUSH);
  writeAll(outFd, "[pair] NEW DEVICE " + label + " — code " + groupedCode(sas) +
                      " (must match the device's screen). Allow? [y/N] ");

  std::string answer;
  const uint64_t deadline = uptimeNs() + static_cast<uint64_t>(std::max<int64_t>(timeoutMs, 0)) * kNsPerMs;
  switch (readLine(inFd, deadline, answer)) {
    case LineResult::endOfInput:
      writeAll(outFd, "\n[pair] no console input — denied\n");
      return false;
    case LineResult::timedOut:
      writeAll(outFd, "\n[pair] no answer on the console for " + fingerprint + " — denied\n");
      return false;
    case LineResult::line:
      break;
  }
  const std::string_view trimmed = Utf8::trimWhitespaceAndNewlines(answer);
  return !trimmed.empty() && std::tolower(static_cast<unsigned char>(trimmed.front())) == 'y';
}

}  // namespace lumenrail::PairingSupport
