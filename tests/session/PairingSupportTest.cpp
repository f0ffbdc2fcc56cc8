// The pairing set-up and the console question, in a private pairing folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.hpp"
#include "secure/HostIdentity.hpp"
#include "secure/HostPairingStore.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingProtocol.hpp"
#include "session/PairingSupport.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;

class PairingSupportTest : public ::testing::Test {
 protected:
  Log::Sink sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(m_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(m_);
    return lines_;
  }

  test::TempPairingFolder folder_{"lumenrail-support"};
  const fs::path root_ = folder_.root();
  std::mutex m_;
  std::vector<std::string> lines_;
};

WireServer::Pairing::Approve never() {
  return [](const std::string&, const std::string&, const std::string&) { return false; };
}

TEST_F(PairingSupportTest, LoadCreatesTheIdentityOnceAndCountsPairedDevices) {
  bool cancelled = false;
  auto pairing = PairingSupport::load(never(), [&](const std::string&) { cancelled = true; }, sink());
  ASSERT_TRUE(pairing);
  const std::string fp = PairingProtocol::fingerprint(pairing->identity.publicKey());
  EXPECT_EQ(lines(), std::vector<std::string>{"[pair] host identity " + fp + " — 0 paired device(s)"});
  EXPECT_EQ(pairing->approvalTimeoutSeconds, 120);
  ASSERT_TRUE(pairing->peers);
  EXPECT_EQ(pairing->peers->fileURL(), root_ / "LumenrailHost" / "paired-devices.json");
  ASSERT_TRUE(pairing->cancelApprove);
  pairing->cancelApprove("x");
  EXPECT_TRUE(cancelled);
  EXPECT_TRUE(fs::exists(HostIdentity::fileURL()));

  pairing->peers->pin(Bytes(32, 7), "Pad", std::nullopt, PairingProtocol::DeviceKind::unknown, 1.0);
  auto again = PairingSupport::load(never(), {}, sink());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->identity.publicKey(), pairing->identity.publicKey());
  EXPECT_FALSE(again->cancelApprove);
  EXPECT_EQ(lines().back(), "[pair] host identity " + fp + " — 1 paired device(s)");
}

TEST_F(PairingSupportTest, LoadWithoutAUsableFolderDisablesPairing) {
  // The pairing folder would have to be made inside a regular file.
  std::ofstream(root_ / "file") << "x";
  HostPairingStore::setDirectoryOverride(root_ / "file" / "LumenrailHost");
  EXPECT_FALSE(PairingSupport::load(never(), {}, sink()));
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_TRUE(lines()[0].starts_with("[pair] FAILED to load the host identity (")) << lines()[0];
  EXPECT_TRUE(lines()[0].ends_with(") — pairing disabled")) << lines()[0];
}

TEST(PairingSupportCode, GroupsSixDigitsOnly) {
  EXPECT_EQ(PairingSupport::groupedCode("012345"), "012 345");
  EXPECT_EQ(PairingSupport::groupedCode("12345"), "12345");
  EXPECT_EQ(PairingSupport::groupedCode("1234567"), "1234567");
}

// The console question over pipes: what the owner types, what is printed.
class Console {
 public:
  // `input` replaces the typed pipe (the console then owns it).
  explicit Console(NowNs now = uptimeNs, uint64_t timeoutNs = 120 * kNsPerSecond, int input = -1) {
    EXPECT_EQ(::pipe(in_), 0);
    EXPECT_EQ(::pipe(out_), 0);
    input_ = input;
    approver_.emplace(input >= 0 ? input : in_[0], out_[1], timeoutNs, std::move(now));
  }
  ~Console() {
    for (auto& a : asks_) a.wait();
    approver_.reset();
    for (int fd : {in_[0], in_[1], out_[0], out_[1], input_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  PairingSupport::ConsoleApprover& approver() { return *approver_; }

  void type(const std::string& text) {
    EXPECT_EQ(::write(in_[1], text.data(), text.size()), ssize_t(text.size()));
  }
  void endInput() {
    ::close(in_[1]);
    in_[1] = -1;
  }
  // The question on a thread of its own, as the server's approval thread asks it.
  std::shared_future<bool> ask(const std::string& sas, const std::string& fp, const std::string& name) {
    asks_.push_back(std::async(std::launch::async, [=, this] { return approver_->approve(sas, fp, name); }).share());
    return asks_.back();
  }
  // Everything printed so far, once it contains `needle` `times` times.
  bool waitPrinted(const std::string& needle, int times = 1) {
    return test::eventually([&] {
      pollfd p{out_[0], POLLIN, 0};
      while (::poll(&p, 1, 10) == 1) {
        char buf[512];
        const ssize_t n = ::read(out_[0], buf, sizeof buf);
        if (n <= 0) break;
        printed_.append(buf, size_t(n));
      }
      int seen = 0;
      for (size_t at = printed_.find(needle); at != std::string::npos; at = printed_.find(needle, at + 1)) ++seen;
      return seen >= times;
    });
  }
  const std::string& printed() const { return printed_; }
  int printedFd() const { return out_[1]; }

 private:
  int in_[2];
  int out_[2];
  int input_ = -1;
  std::optional<PairingSupport::ConsoleApprover> approver_;
  std::vector<std::shared_future<bool>> asks_;
  std::string printed_;
};

constexpr const char* kQuestionEnd = "Allow? [y/N] ";

bool answered(const std::shared_future<bool>& f) {
  return f.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

TEST(PairingSupportConsole, AsksWithTheGroupedCodeAndAllowsOnAnswersBeginningWithY) {
  Console c;
  auto allowed = c.ask("123456", "AbCdEfGhIjK", "Pad");
  ASSERT_TRUE(c.waitPrinted(kQuestionEnd));
  c.type("  YES \n");
  ASSERT_TRUE(answered(allowed));
  EXPECT_TRUE(allowed.get());
  EXPECT_EQ(c.printed(),
            "[pair] NEW DEVICE Pad (AbCdEfGhIjK) — code 123 456 (must match the device's screen). Allow? [y/N] ");
}

// Another thread's log line never lands inside the waiting question: it goes
// on a line of its own and the question is asked again below it.
TEST(PairingSupportConsole, ALogLineWhileTheQuestionWaitsIsPrintedAboveTheQuestionAskedAgain) {
  Console c;
  auto allowed = c.ask("123456", "F", "Pad");
  ASSERT_TRUE(c.waitPrinted(kQuestionEnd));
  Log::lineTo(c.printedFd(), "[m2] capture recovered after 1 attempt(s)");
  ASSERT_TRUE(c.waitPrinted(kQuestionEnd, 2));
  const std::string question =
      "[pair] NEW DEVICE Pad (F) — code 123 456 (must match the device's screen). Allow? [y/N] ";
  EXPECT_EQ(c.printed(), question + "\n[m2] capture recovered after 1 attempt(s)\n" + question);
  c.type("y\n");
  ASSERT_TRUE(answered(allowed));
  EXPECT_TRUE(allowed.get());
  // Answered: lines are plain lines again.
  Log::lineTo(c.printedFd(), "[wire] client 1 left");
  ASSERT_TRUE(c.waitPrinted("left\n"));
  EXPECT_TRUE(c.printed().ends_with(question + "[wire] client 1 left\n")) << c.printed();
}

TEST(PairingSupportConsole, EverythingElseDeniesOneLineAtATime) {
  Console c;
  const std::vector<std::pair<std::string, bool>> answers = {
      {"y", true}, {"n", false}, {"", false}, {"ok", false}, {"Yup", true}, {std::string(300, 'n'), false}};
  size_t questions = 0;
  for (const auto& [answer, allows] : answers) {
    auto result = c.ask(questions == 4 ? "12345" : "123456", "F", "");
    ++questions;
    ASSERT_TRUE(test::eventually([&] {
      c.waitPrinted(kQuestionEnd);
      size_t n = 0;
      for (size_t at = 0; (at = c.printed().find(kQuestionEnd, at)) != std::string::npos; ++at) ++n;
      return n == questions;
    }));
    c.type(answer + "\n");
    ASSERT_TRUE(answered(result));
    EXPECT_EQ(result.get(), allows) << answer;
  }
  EXPECT_NE(c.printed().find("[pair] NEW DEVICE F — code 123 456 (must match"), std::string::npos);
  EXPECT_NE(c.printed().find("[pair] NEW DEVICE F — code 12345 (must match"), std::string::npos);
}

TEST(PairingSupportConsole, InputTypedBeforeTheQuestionIsNoAnswer) {
  Console c;
  c.type("y\nyes\n");
  auto allowed = c.ask("123456", "F", "Pad");
  ASSERT_TRUE(c.waitPrinted(kQuestionEnd));
  c.type("n\n");
  ASSERT_TRUE(answered(allowed));
  EXPECT_FALSE(allowed.get());
}

TEST(PairingSupportConsole, InputThatNeverPausesDoesNotHoldTheQuestionBack) {
  // Endless input with no line in it: the question still comes up, and the
  // owner's time runs out (the clock reads 0 at the question, 121 s after).
  auto reads = std::make_shared<std::atomic<int>>(0);
  Console c([reads]() -> uint64_t { return (*reads)++ == 0 ? 0 : 121 * kNsPerSecond; }, 120 * kNsPerSecond,
            ::open("/dev/zero", O_RDONLY | O_CLOEXEC));
  auto allowed = c.ask("123456", "F", "Pad");
  ASSERT_TRUE(answered(allowed));
  EXPECT_FALSE(allowed.get());
  ASSERT_TRUE(c.waitPrinted("denied\n"));
  EXPECT_TRUE(c.printed().ends_with("Allow? [y/N] \n[pair] no answer on the console for F — denied\n"));
}

TEST(PairingSupportConsole, TheEndOfInputDenies) {
  {
    Console c;
    c.endInput();
    auto allowed = c.ask("123456", "F", "Pad");
    ASSERT_TRUE(answered(allowed));
    EXPECT_FALSE(allowed.get());
    ASSERT_TRUE(c.waitPrinted("denied\n"));
    EXPECT_TRUE(c.printed().ends_with("Allow? [y/N] \n[pair] no console input — denied\n"));
  }
  {
    Console c;
    auto allowed = c.ask("123456", "F", "Pad");
    ASSERT_TRUE(c.waitPrinted(kQuestionEnd));
    c.endInput();
    ASSERT_TRUE(answered(allowed));
    EXPECT_FALSE(allowed.get());
  }
}

TEST(PairingSupportConsole, TheOwnerHasExactlyTheApprovalTimeOut) {
  // The clock reads 0 when the question is asked, then `later` ever after.
  auto clockAt = [](uint64_t later) {
    auto reads = std::make_shared<std::atomic<int>>(0);
    return [reads, later]() -> uint64_t { return (*reads)++ == 0 ? 0 : later; };
  };
  {
    Console c(clockAt(120 * kNsPerSecond - 1));
    auto allowed = c.ask("123456", "F", "Pad");
    ASSERT_TRUE(c.waitPrinted(kQuestionEnd));
    c.type("y\n");
    ASSERT_TRUE(answered(allowed));
    EXPECT_TRUE(allowed.get()) << "still inside the time-out";
  }
  {
    Console c(clockAt(120 * kNsPerSecond));
    auto allowed = c.ask("123456", "F", "Pad");
    ASSERT_TRUE(answered(allowed));
    EXPECT_FALSE(allowed.get());
    ASSERT_TRUE(c.waitPrinted("denied\n"));
    EXPECT_TRUE(c.printed().ends_with("Allow? [y/N] \n[pair] no answer on the console for F — denied\n"));
  }
}

TEST(PairingSupportConsole, OneQuestionAtATimeAndADeviceThatLeftIsNeverAsked) {
  Console c;
  auto first = c.ask("111111", "AAAA", "First");
  ASSERT_TRUE(c.waitPrinted(kQuestionEnd));
  auto gone = c.ask("222222", "BBBB", "Gone");
  auto second = c.ask("333333", "CCCC", "Second");
  ASSERT_TRUE(test::eventually([&] { return c.approver().waiting() == 3; }));
  c.approver().cancel("BBBB");  // queued behind the first: never shown
  c.type("y\n");
  ASSERT_TRUE(answered(first));
  EXPECT_TRUE(first.get());
  // The withdrawn question and the next one may take their turns in either order.
  ASSERT_TRUE(c.waitPrinted("code 333 333"));
  c.type("n\n");
  ASSERT_TRUE(answered(second));
  EXPECT_FALSE(second.get());
  ASSERT_TRUE(answered(gone));
  EXPECT_FALSE(gone.get());
  ASSERT_TRUE(c.waitPrinted("[pair] BBBB left before its question came up — not asked\n"));
  EXPECT_EQ(c.printed().find("BBBB) — code"), std::string::npos);
  // The second question came only after the first was answered.
  EXPECT_LT(c.printed().find("code 111 111"), c.printed().find("code 333 333"));
  EXPECT_EQ(c.printed().find("code 333 333", c.printed().find("code 111 111")),
            c.printed().rfind("code 333 333"));
}

TEST(PairingSupportConsole, ADeviceThatLeavesWhileAskedHasItsQuestionWithdrawn) {
  Console c;
  auto allowed = c.ask("123456", "GONE", "Pad");
  ASSERT_TRUE(c.waitPrinted(kQuestionEnd));
  c.approver().cancel("GONE");
  ASSERT_TRUE(answered(allowed));
  EXPECT_FALSE(allowed.get());
  ASSERT_TRUE(c.waitPrinted("\n[pair] GONE left before it was approved — question withdrawn\n"));
  // The next device is asked as usual; a late "y" meant for the first is no answer.
  c.type("y\n");
  auto next = c.ask("654321", "NEXT", "");
  ASSERT_TRUE(c.waitPrinted("code 654 321"));
  c.type("yes\n");
  ASSERT_TRUE(answered(next));
  EXPECT_TRUE(next.get());
}

TEST(PairingSupportConsole, ALeaveAfterTheAnswerDoesNotRefuseTheNextAttempt) {
  Console c;
  auto first = c.ask("123456", "SAME", "Pad");
  ASSERT_TRUE(c.waitPrinted(kQuestionEnd));
  c.type("n\n");
  ASSERT_TRUE(answered(first));
  EXPECT_FALSE(first.get());
  c.approver().cancel("SAME");  // the device leaves after the owner answered
  auto again = c.ask("123456", "SAME", "Pad");
  ASSERT_TRUE(c.waitPrinted("(SAME) — code 123 456 (must match the device's screen). Allow? [y/N] ", 2));
  c.type("y\n");
  ASSERT_TRUE(answered(again));
  EXPECT_TRUE(again.get());
}

TEST(PairingSupportConsole, ShowsNamesWithoutControlCharacters) {
  Console c;
  auto allowed = c.ask("123456", "F", "Pa\u202Ed\x1b[2J");
  ASSERT_TRUE(c.waitPrinted(kQuestionEnd));
  c.type("n\n");
  ASSERT_TRUE(answered(allowed));
  EXPECT_FALSE(allowed.get());
  EXPECT_TRUE(c.printed().starts_with("[pair] NEW DEVICE Pad[2J (F) — code"));
}

}  // namespace
}  // namespace lumenrail
