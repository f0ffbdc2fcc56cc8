#pragma once

// The pairing set-up of a serving session (subsystem 4): the host identity
// and the store of paired devices made into the wire server's pairing
// configuration, and the console question by which the owner approves a new
// device, on a console or in an alert of the tray application.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "ports/Alerts.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail::PairingSupport {

inline constexpr int64_t kApprovalTimeoutSeconds = 120;

// Loads or creates the host identity and opens "paired-devices.json" in the
// pairing folder (HostPairingStore::directory()). Nothing, with the line
// "[pair] FAILED to load the host identity (...) — pairing disabled", when
// the identity can be neither loaded nor created, or with "[pair] ERROR:
// could not read the paired devices (...)" when that file exists but cannot
// be read; otherwise reports the
// identity's fingerprint and the number of paired devices. Lines go to `log`
// (standard output when empty).
std::optional<WireServer::Pairing> load(WireServer::Pairing::Approve approve,
                                        WireServer::Pairing::CancelApprove cancelApprove = {},
                                        const Log::Sink& log = {});

// A six-character code as "123 456"; any other length as it is.
std::string groupedCode(const std::string& sas);

// Asks on a console: "[pair] NEW DEVICE <name (fingerprint)> — code 123 456
// (must match the device's screen). Allow? [y/N] " and reads one line; an
// answer beginning with y or Y allows. Questions are asked one at a time;
// input typed before a question is no answer to it and is discarded; the end
// of input refuses with "[pair] no console input — denied", and so does a
// terminal whose foreground this process is not (when asked, or sent to the
// background while asking: reading it would stop the host); an owner who does
// not answer within the time-out refuses too. A device that leaves has its
// question withdrawn, or never shown when it is still waiting for its turn.
// Its process keeps SIGTTIN and SIGTTOU blocked (the capture serve does), so
// that a read racing a move to the background fails instead of stopping it.
class ConsoleApprover final {
 public:
  ConsoleApprover(int inFd, int outFd, uint64_t timeoutNs, NowNs now = uptimeNs);
  ~ConsoleApprover();
  ConsoleApprover(const ConsoleApprover&) = delete;
  ConsoleApprover& operator=(const ConsoleApprover&) = delete;

  bool approve(const std::string& sas, const std::string& fingerprint, const std::string& name);
  // The device with this fingerprint no longer waits; returns at once.
  void cancel(const std::string& fingerprint);
  // Calls inside approve(): the question that is up and those waiting for their turn.
  int64_t waiting() const;

 private:
  enum class Reply { line, endOfInput, timedOut, withdrawn };
  bool ask(const std::string& sas, const std::string& fingerprint, const std::string& name);
  bool discardTypedAhead();
  Reply readAnswer(uint64_t deadlineNs, std::string& out);
  void say(std::string_view text) const;

  const int in_;
  const int out_;
  const uint64_t timeoutNs_;
  const NowNs now_;
  int wake_[2] = {-1, -1};  // cancel() wakes the question that is up

  std::mutex turn_;  // held for a whole question
  mutable std::mutex mutex_;  // guards the fields below
  std::optional<std::string> current_;  // fingerprint of the question that is up
  bool currentWithdrawn_ = false;
  std::map<std::string, int64_t> inFlight_;  // approve() calls per fingerprint
  std::set<std::string> withdrawn_;  // fingerprints whose question has not come up yet
};

// The process-wide console approver on standard input and output with the
// approval time-out, and its cancel hook.
bool consoleApprove(const std::string& sas, const std::string& fingerprint, const std::string& name);
void consoleCancel(const std::string& fingerprint);

// The owner's question as a modal alert on the main queue: one alert at a
// time; an alert can be ended from outside (the device left or dialled
// again), which closes that alert and no other and makes its answer a
// refusal.
class AlertApprover final {
 public:
  AlertApprover(std::shared_ptr<Executor> main, std::shared_ptr<AlertRunner> alerts, Log::Sink log = Log::line);
  AlertApprover(const AlertApprover&) = delete;
  AlertApprover& operator=(const AlertApprover&) = delete;

  // Off the main queue only: waits for the owner's answer there. A main
  // queue that has ended refuses.
  bool approve(const std::string& sas, const std::string& fingerprint, const std::string& name);
  // Any thread; returns at once.
  void enqueueEndOnMain(const std::string& fingerprint, const std::string& reason);
  // Main queue: ends the live alert of that device, recording why.
  void endPrompt(const std::string& fingerprint, const std::string& reason);

  static constexpr const char* kRedialReason = "redialled — superseding the pending prompt";
  static constexpr const char* kDisconnectReason = "the device disconnected before pairing finished";

 private:
  struct Prompt {
    std::shared_ptr<ModalAlert> alert;
    std::mutex lock;
    std::optional<std::string> reason;  // set once, when ended from outside
  };
  void say(const std::string& line) const;

  const std::shared_ptr<Executor> main_;
  const std::shared_ptr<AlertRunner> alerts_;
  const Log::Sink log_;
  std::mutex promptGate_;  // one question at a time
  std::map<std::string, std::shared_ptr<Prompt>> livePrompts_;  // main queue only
};

// The tray application's approver and its cancel hook, for load(); both
// refuse or do nothing until one is installed.
void installAlertApprover(std::shared_ptr<AlertApprover> approver);
bool alertApprove(const std::string& sas, const std::string& fingerprint, const std::string& name);
void alertCancel(const std::string& fingerprint);

}  // namespace lumenrail::PairingSupport
