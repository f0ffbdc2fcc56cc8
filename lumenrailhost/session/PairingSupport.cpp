#include "session/PairingSupport.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/Clock.hpp"
#include "platform/OneShotEvent.hpp"
#include "platform/Utf8.hpp"
#include "secure/HostIdentity.hpp"
#include "secure/HostPairingStore.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingProtocol.hpp"
#include "text/L10n.hpp"

namespace lumenrail::PairingSupport {

namespace {

// An answer longer than this is not a yes: the rest of the line is read and dropped.
constexpr size_t kMaxAnswer = 256;
// The wait for an answer looks at the clock at least this often, so a time-out
// on an injected clock is noticed without input.
constexpr uint64_t kAnswerSliceNs = 250 * kNsPerMs;
constexpr size_t kTypedAheadLimit = 64 * 1024;

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

void drainPipe(int fd) {
  char buf[64];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

// The kernel stops the whole process (SIGTTIN, SIGTTOU) when it reads or
// flushes its controlling terminal from the background, and the host would
// serve nobody until someone typed "fg". Any other descriptor has no say
// (tcgetpgrp fails).
bool inBackgroundOf(int fd) {
  const pid_t foreground = ::tcgetpgrp(fd);
  return foreground >= 0 && foreground != ::getpgrp();
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
  std::shared_ptr<PairedDevicesStore> store;
  try {
    store = std::make_shared<PairedDevicesStore>(HostPairingStore::directory() / "paired-devices.json", log);
  } catch (const std::exception& e) {
    // Starting with an empty list would have every paired device asked again
    // and the next pairing written over a file that may be fine.
    say("[pair] ERROR: could not read the paired devices (" + std::string(e.what()) + ") — pairing disabled");
    return std::nullopt;
  }
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

ConsoleApprover::ConsoleApprover(int inFd, int outFd, uint64_t timeoutNs, NowNs now)
    : in_(inFd), out_(outFd), timeoutNs_(timeoutNs), now_(std::move(now)) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

ConsoleApprover::~ConsoleApprover() {
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

void ConsoleApprover::say(std::string_view text) const { writeAll(out_, text); }

bool ConsoleApprover::approve(const std::string& sas, const std::string& fingerprint, const std::string& name) {
  {
    std::lock_guard lock(mutex_);
    ++inFlight_[fingerprint];
  }
  // Whatever happens below, this call no longer waits once it returns: a
  // cancel arriving later must not refuse the device's next attempt.
  struct Leave {
    ConsoleApprover& self;
    const std::string& fingerprint;
    ~Leave() {
      std::lock_guard lock(self.mutex_);
      if (--self.inFlight_[fingerprint] == 0) {
        self.inFlight_.erase(fingerprint);
        self.withdrawn_.erase(fingerprint);
      }
    }
  } leave{*this, fingerprint};
  std::lock_guard turn(turn_);
  // A wake-up meant for an earlier question; drained before this one becomes
  // current, so a cancel from here on is not lost.
  if (wake_[0] >= 0) drainPipe(wake_[0]);
  {
    std::lock_guard lock(mutex_);
    if (withdrawn_.erase(fingerprint)) {
      say("[pair] " + fingerprint + " left before its question came up — not asked\n");
      return false;
    }
    current_ = fingerprint;
    currentWithdrawn_ = false;
  }
  const bool allowed = ask(sas, fingerprint, name);
  std::lock_guard lock(mutex_);
  current_.reset();
  return allowed;
}

void ConsoleApprover::cancel(const std::string& fingerprint) {
  std::lock_guard lock(mutex_);
  if (current_ == fingerprint) {
    currentWithdrawn_ = true;
    if (wake_[1] >= 0) {
      const char byte = 1;
      [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
    }
    return;
  }
  // Its question waits for its turn: it will not be shown.
  if (inFlight_.count(fingerprint)) withdrawn_.insert(fingerprint);
}

int64_t ConsoleApprover::waiting() const {
  std::lock_guard lock(mutex_);
  int64_t n = 0;
  for (const auto& [fingerprint, calls] : inFlight_) n += calls;
  return n;
}

bool ConsoleApprover::ask(const std::string& sas, const std::string& fingerprint, const std::string& name) {
  // Names come from the device: shown only without control and format characters.
  const std::string cleanName = PairingProtocol::withoutControlCharacters(name);
  const std::string label = cleanName.empty() ? fingerprint : cleanName + " (" + fingerprint + ")";
  // A host sent to the background has no console to ask.
  if (inBackgroundOf(in_)) {
    say("[pair] no console input — denied\n");
    return false;
  }
  const bool inputLeft = discardTypedAhead();
  const uint64_t deadline = now_() + timeoutNs_;
  std::optional<Log::Prompt> question(std::in_place, out_,
                                      "[pair] NEW DEVICE " + label + " — code " + groupedCode(sas) +
                                          " (must match the device's screen). Allow? [y/N] ");
  std::string answer;
  const Reply reply = inputLeft ? readAnswer(deadline, answer) : Reply::endOfInput;
  question.reset();
  switch (reply) {
    case Reply::endOfInput:
      say("\n[pair] no console input — denied\n");
      return false;
    case Reply::timedOut:
      say("\n[pair] no answer on the console for " + fingerprint + " — denied\n");
      return false;
    case Reply::withdrawn:
      say("\n[pair] " + fingerprint + " left before it was approved — question withdrawn\n");
      return false;
    case Reply::line:
      break;
  }
  const std::string_view trimmed = Utf8::trimWhitespaceAndNewlines(answer);
  return !trimmed.empty() && std::tolower(static_cast<unsigned char>(trimmed.front())) == 'y';
}

// Keys pressed before the question are no answer to it: a stray "y" must not
// let a device in. False when the input has ended. Bounded, so input that
// never pauses (a pipe from a program) cannot hold the question back.
bool ConsoleApprover::discardTypedAhead() {
  if (::isatty(in_) && !inBackgroundOf(in_)) ::tcflush(in_, TCIFLUSH);
  for (size_t discarded = 0; discarded < kTypedAheadLimit;) {
    pollfd p{in_, POLLIN, 0};
    const int ready = ::poll(&p, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return true;
    if (p.revents & POLLNVAL) return false;  // no standard input at all
    char buf[512];
    const ssize_t n = ::read(in_, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    discarded += static_cast<size_t>(n);
  }
  return true;
}

// One line, read a byte at a time so nothing after it is taken from the
// descriptor.
ConsoleApprover::Reply ConsoleApprover::readAnswer(uint64_t deadlineNs, std::string& out) {
  bool any = false;
  const auto ended = [&] { return any ? Reply::line : Reply::endOfInput; };
  for (;;) {
    const uint64_t now = now_();
    if (now >= deadlineNs) return Reply::timedOut;
    pollfd p[2] = {{in_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const uint64_t sliceNs = std::min(deadlineNs - now, kAnswerSliceNs);
    const int ready = ::poll(p, wake_[0] >= 0 ? 2 : 1, static_cast<int>((sliceNs + kNsPerMs - 1) / kNsPerMs));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return ended();
    }
    if (wake_[0] >= 0 && (p[1].revents & POLLIN)) {
      drainPipe(wake_[0]);
      std::lock_guard lock(mutex_);
      if (currentWithdrawn_) return Reply::withdrawn;
    }
    // Sent to the background while asking: the terminal is no longer the owner's.
    if (inBackgroundOf(in_)) return Reply::endOfInput;
    if (p[0].revents & POLLNVAL) return ended();
    if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char c;
    const ssize_t n = ::read(in_, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0 && errno == EIO) return Reply::endOfInput;  // sent to the background just now
    if (n <= 0) return ended();
    any = true;
    if (c == '\n') return Reply::line;
    if (out.size() < kMaxAnswer) out.push_back(c);
  }
}

namespace {

// Never destroyed: an approval thread may still be asking when the process exits.
ConsoleApprover& console() {
  static auto* approver =
      new ConsoleApprover(STDIN_FILENO, STDOUT_FILENO, static_cast<uint64_t>(kApprovalTimeoutSeconds) * kNsPerSecond);
  return *approver;
}

}  // namespace

bool consoleApprove(const std::string& sas, const std::string& fingerprint, const std::string& name) {
  return console().approve(sas, fingerprint, name);
}

void consoleCancel(const std::string& fingerprint) { console().cancel(fingerprint); }

AlertApprover::AlertApprover(std::shared_ptr<Executor> main, std::shared_ptr<AlertRunner> alerts, Log::Sink log)
    : main_(std::move(main)), alerts_(std::move(alerts)), log_(std::move(log)) {}

void AlertApprover::say(const std::string& line) const {
  if (log_) {
    log_(line);
  } else {
    Log::line(line);
  }
}

bool AlertApprover::approve(const std::string& sas, const std::string& fingerprint, const std::string& name) {
  expectOff(*main_, "AlertApprover::approve");
  // An alert still up for this device belongs to its earlier attempt.
  enqueueEndOnMain(fingerprint, kRedialReason);
  std::lock_guard gate(promptGate_);

  // Signalled when the main-queue block has run, or was dropped unrun.
  struct Done {
    OneShotEvent event;
    int response = 1001;
    std::shared_ptr<Prompt> prompt;
  };
  auto done = std::make_shared<Done>();
  struct Signal {
    std::shared_ptr<Done> done;
    ~Signal() { done->event.signal(); }
  };
  auto signal = std::make_shared<Signal>(done);
  main_->post([this, signal, sas, fingerprint, name] {
    const std::string cleanName = PairingProtocol::withoutControlCharacters(name);
    AlertRunner::Content content;
    content.title = L10n::text("pair.alert.title");
    content.detail = cleanName.empty() ? L10n::text("pair.alert.message.unnamed", fingerprint, groupedCode(sas))
                                    : L10n::text("pair.alert.message", cleanName, fingerprint, groupedCode(sas));
    content.buttons = {L10n::text("pair.alert.allow"), L10n::text("pair.alert.deny")};
    content.informational = true;
    content.raisedByPeer = true;
    auto prompt = std::make_shared<Prompt>();
    prompt->alert = alerts_->make(content);
    signal->done->prompt = prompt;
    livePrompts_[fingerprint] = prompt;
    signal->done->response = prompt->alert->runModal();
    // A newer alert of the same device stays where it is.
    if (auto it = livePrompts_.find(fingerprint); it != livePrompts_.end() && it->second == prompt) {
      livePrompts_.erase(it);
    }
  });
  signal.reset();
  done->event.wait();

  if (!done->prompt) return false;  // the main loop ended first
  std::optional<std::string> reason;
  {
    std::lock_guard lock(done->prompt->lock);
    reason = done->prompt->reason;
  }
  if (reason) {
    if (done->response == 1000) {
      say("[pair] " + fingerprint + " approval ignored — it answered a prompt already ended (" + *reason + ")");
    } else {
      say("[pair] " + fingerprint + " stale sheet dismissed — " + *reason);
    }
    return false;
  }
  if (done->response == 1000) return true;
  say("[pair] " + fingerprint + " denied by the owner");
  return false;
}

void AlertApprover::enqueueEndOnMain(const std::string& fingerprint, const std::string& reason) {
  main_->post([this, fingerprint, reason] { endPrompt(fingerprint, reason); });
}

void AlertApprover::endPrompt(const std::string& fingerprint, const std::string& reason) {
  expectOn(*main_, "AlertApprover::endPrompt");
  const auto it = livePrompts_.find(fingerprint);
  if (it == livePrompts_.end()) return;
  const auto prompt = it->second;
  livePrompts_.erase(it);
  say("[pair] " + fingerprint + " " + reason);
  {
    std::lock_guard lock(prompt->lock);
    if (!prompt->reason) prompt->reason = reason;
  }
  prompt->alert->end(1001);
}

namespace {

std::mutex approverLock;
std::shared_ptr<AlertApprover>& installedApprover() {
  static auto* approver = new std::shared_ptr<AlertApprover>();
  return *approver;
}

std::shared_ptr<AlertApprover> currentApprover() {
  std::lock_guard lock(approverLock);
  return installedApprover();
}

}  // namespace

void installAlertApprover(std::shared_ptr<AlertApprover> approver) {
  std::lock_guard lock(approverLock);
  installedApprover() = std::move(approver);
}

bool alertApprove(const std::string& sas, const std::string& fingerprint, const std::string& name) {
  const auto approver = currentApprover();
  return approver && approver->approve(sas, fingerprint, name);
}

void alertCancel(const std::string& fingerprint) {
  if (const auto approver = currentApprover()) {
    approver->enqueueEndOnMain(fingerprint, AlertApprover::kDisconnectReason);
  }
}

}  // namespace lumenrail::PairingSupport
