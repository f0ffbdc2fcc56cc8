#include "settings/UpdateChecker.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/OneShotEvent.hpp"
#include "support/TinyHttpServer.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using test::EventCounter;
using test::TinyHttpServer;

constexpr const char* kRunning = "1.0.9";

std::string site(const std::string& rest) { return std::string(UpdateCheck::allowedLinkPrefix) + rest; }

std::string manifest(const std::string& version, const std::string& extraEntry = "", const std::string& top = "") {
  return R"({"linux":{"version":")" + version + R"(","url":")" + site("dl/lumenrail-" + version + ".tar.gz") +
         "\"" + extraEntry + "}" + top + "}";
}

// Everything a checker reports, gathered from any thread.
struct Recorder {
  mutable std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<UpdateRelease> releases;
  struct Verdict {
    HostUpdate update;
    std::string version;
    int64_t minClient;
    bool operator==(const Verdict&) const = default;
  };
  std::vector<Verdict> verdicts;
  EventCounter lineCount;
  EventCounter dispatched;

  Log::Sink sink() {
    return [this](const std::string& line) {
      {
        std::lock_guard lock(mutex);
        lines.push_back(line);
      }
      lineCount.add();
    };
  }
  std::vector<std::string> linesNow() const {
    std::lock_guard lock(mutex);
    return lines;
  }
};

struct Harness {
  Recorder rec;
  std::shared_ptr<SerialQueue> main = std::make_shared<SerialQueue>("lumenrail-test-main");
  std::unique_ptr<UpdateChecker> checker;

  explicit Harness(Environment env, NowNs wallClock = {}) {
    checker = std::make_unique<UpdateChecker>(
        kRunning, "linux", env, rec.sink(),
        [this](const UpdateRelease& release) {
          {
            std::lock_guard lock(rec.mutex);
            rec.releases.push_back(release);
          }
          rec.dispatched.add();  // counted once it has run, so waiters see its effects
        },
        [this](HostUpdate update, const std::string& version, int64_t minClient) {
          {
            std::lock_guard lock(rec.mutex);
            rec.verdicts.push_back({update, version, minClient});
          }
          rec.dispatched.add();
        },
        main, std::move(wallClock));
  }
};

Environment envFor(const std::string& url, const std::string& delay = "0") {
  return {{"LUMENRAIL_UPDATE_URL", url}, {"LUMENRAIL_UPDATE_DELAY_SEC", delay}};
}

// --- construction ---------------------------------------------------------

TEST(UpdateChecker, TakesTheManifestUrlOverrideWhenItIsAUrl) {
  Recorder rec;
  EXPECT_EQ(UpdateChecker(kRunning, "linux", {}, rec.sink(), {}).url(), UpdateCheck::manifestURL);
  EXPECT_EQ(UpdateChecker(kRunning, "linux", {{"LUMENRAIL_UPDATE_URL", "http://127.0.0.1:9/m.json"}}, rec.sink(), {})
                .url(),
            "http://127.0.0.1:9/m.json");
  EXPECT_EQ(UpdateChecker(kRunning, "linux", {{"LUMENRAIL_UPDATE_URL", "ftp://mirror.example/m"}}, rec.sink(), {})
                .url(),
            "ftp://mirror.example/m");
  for (const char* bad : {"", "not a url", "/just/a/path"}) {
    EXPECT_EQ(UpdateChecker(kRunning, "linux", {{"LUMENRAIL_UPDATE_URL", bad}}, rec.sink(), {}).url(),
              UpdateCheck::manifestURL)
        << bad;
  }
}

TEST(UpdateChecker, DelayOverrideIsANumberClampedToADay) {
  EXPECT_EQ(UpdateChecker::parseDelay("0.25"), 0.25);
  EXPECT_EQ(UpdateChecker::parseDelay("-3"), 0.0);
  EXPECT_EQ(UpdateChecker::parseDelay("1e300"), 86400.0);
  EXPECT_EQ(UpdateChecker::parseDelay("1e999"), 86400.0);
  EXPECT_EQ(UpdateChecker::parseDelay("-inf"), 0.0);
  for (const char* bad : {"", "nan", "5s", " 5", "0x10"}) {
    EXPECT_EQ(UpdateChecker::parseDelay(bad), std::nullopt) << bad;
  }
  Recorder rec;
  EXPECT_EQ(UpdateChecker(kRunning, "linux", {}, rec.sink(), {}).delaySeconds(), 60.0);
  EXPECT_EQ(UpdateChecker(kRunning, "linux", {{"LUMENRAIL_UPDATE_DELAY_SEC", "nan"}}, rec.sink(), {}).delaySeconds(),
            60.0);
  EXPECT_EQ(UpdateChecker(kRunning, "linux", {{"LUMENRAIL_UPDATE_DELAY_SEC", "-1"}}, rec.sink(), {}).delaySeconds(),
            0.0);
}

TEST(UpdateChecker, StoppedCheckerIgnoresStopAndEarlyChecks) {
  Recorder rec;
  {
    UpdateChecker checker(kRunning, "linux", envFor("http://127.0.0.1:9/m.json", "86400"), rec.sink(), {});
    checker.stop();
    checker.requestRecheck("wake");
    checker.start();
    checker.stop();
    checker.requestRecheck("after stop");
  }  // destruction runs what was queued
  EXPECT_TRUE(rec.linesNow().empty());
}

// --- against a loopback server --------------------------------------------

TEST(UpdateCheckerIntegration, NewerReleaseIsAnnouncedWithItsVerdictOnTheMainExecutor) {
  TinyHttpServer server;
  server.respond("/latest.json", {200, manifest("2.0.0", R"(,"min":"1.0.0")", R"(,"min_client":3)")});
  Harness h(envFor(server.url("/latest.json")));
  h.checker->start();
  ASSERT_TRUE(h.rec.lineCount.waitFor(2));
  ASSERT_TRUE(h.rec.dispatched.waitFor(2));
  h.checker->stop();

  EXPECT_EQ(h.rec.linesNow(), (std::vector<std::string>{
                                  "[update] manifest min_client 3",
                                  "[update] 2.0.0 available (running 1.0.9): " + site("dl/lumenrail-2.0.0.tar.gz"),
                              }));
  std::lock_guard lock(h.rec.mutex);
  EXPECT_EQ(h.rec.verdicts, (std::vector<Recorder::Verdict>{{HostUpdate::available, "2.0.0", 3}}));
  EXPECT_EQ(h.rec.releases, (std::vector<UpdateRelease>{{"2.0.0", site("dl/lumenrail-2.0.0.tar.gz")}}));
  EXPECT_EQ(server.requestLines(), (std::vector<std::string>{"GET /latest.json HTTP/1.1"}));
}

TEST(UpdateCheckerIntegration, SameVersionIsUpToDateWithAVerdictOfNone) {
  TinyHttpServer server;
  server.respond("/m", {200, manifest("1.0.9")});
  Harness h(envFor(server.url("/m")));
  h.checker->start();
  ASSERT_TRUE(h.rec.lineCount.waitFor(1));
  ASSERT_TRUE(h.rec.dispatched.waitFor(1));
  h.checker->stop();
  EXPECT_EQ(h.rec.linesNow(), (std::vector<std::string>{"[update] up to date (running 1.0.9, latest 1.0.9)"}));
  std::lock_guard lock(h.rec.mutex);
  EXPECT_EQ(h.rec.verdicts, (std::vector<Recorder::Verdict>{{HostUpdate::none, "", 0}}));
  EXPECT_TRUE(h.rec.releases.empty());
}

TEST(UpdateCheckerIntegration, RunningBelowTheMinimumIsRequired) {
  TinyHttpServer server;
  server.respond("/m", {200, manifest("1.0.9", R"(,"min":"1.1")")});
  Harness h(envFor(server.url("/m")));
  h.checker->start();
  ASSERT_TRUE(h.rec.lineCount.waitFor(2));
  ASSERT_TRUE(h.rec.dispatched.waitFor(1));
  h.checker->stop();
  EXPECT_EQ(h.rec.linesNow(), (std::vector<std::string>{
                                  "[update] running 1.0.9 is below the published minimum 1.1",
                                  "[update] up to date (running 1.0.9, latest 1.0.9)",
                              }));
  std::lock_guard lock(h.rec.mutex);
  EXPECT_EQ(h.rec.verdicts, (std::vector<Recorder::Verdict>{{HostUpdate::required, "", 0}}));
}

TEST(UpdateCheckerIntegration, UnreadableManifestAndMissingEntryAreLogged) {
  TinyHttpServer server;
  server.respond("/html", {200, "<html>moved</html>"});
  server.respond("/other", {200, R"({"macos":{"version":"9.0","url":")" + site("m") + R"("},"min_client":2})"});
  {
    Harness h(envFor(server.url("/html")));
    h.checker->start();
    ASSERT_TRUE(h.rec.lineCount.waitFor(1));
    h.checker->stop();
    EXPECT_EQ(h.rec.linesNow(),
              (std::vector<std::string>{"[update] manifest unreadable or has no usable linux entry"}));
    std::lock_guard lock(h.rec.mutex);
    EXPECT_TRUE(h.rec.verdicts.empty());
  }
  {
    Harness h(envFor(server.url("/other")));
    h.checker->start();
    ASSERT_TRUE(h.rec.lineCount.waitFor(2));
    ASSERT_TRUE(h.rec.dispatched.waitFor(1));
    h.checker->stop();
    EXPECT_EQ(h.rec.linesNow(), (std::vector<std::string>{
                                    "[update] manifest min_client 2",
                                    "[update] manifest unreadable or has no usable linux entry",
                                }));
    std::lock_guard lock(h.rec.mutex);
    EXPECT_EQ(h.rec.verdicts, (std::vector<Recorder::Verdict>{{HostUpdate::none, "", 2}}));
  }
}

TEST(UpdateCheckerIntegration, NotFoundFailsWithTheStatus) {
  TinyHttpServer server;
  Harness h(envFor(server.url("/missing.json")));
  h.checker->start();
  ASSERT_TRUE(h.rec.lineCount.waitFor(1));
  h.checker->stop();
  EXPECT_EQ(h.rec.linesNow(),
            (std::vector<std::string>{"[update] check failed (HTTP 404) - will retry tomorrow"}));
  std::lock_guard lock(h.rec.mutex);
  EXPECT_TRUE(h.rec.verdicts.empty());
  EXPECT_TRUE(h.rec.releases.empty());
}

std::string paddedTo(const std::string& body, size_t size) { return body + std::string(size - body.size(), ' '); }

TEST(UpdateCheckerIntegration, BodyOfExactlyTheCapIsReadAndOneMoreIsRefused) {
  TinyHttpServer server;
  server.respond("/exact", {200, paddedTo(manifest("2.0"), 65536)});
  server.respond("/over", {200, paddedTo(manifest("2.0"), 65537)});
  server.respond("/over-unsized", {200, paddedTo(manifest("2.0"), 65537), false});
  {
    Harness h(envFor(server.url("/exact")));
    h.checker->start();
    ASSERT_TRUE(h.rec.lineCount.waitFor(1));
    h.checker->stop();
    EXPECT_EQ(h.rec.linesNow().back(), "[update] 2.0 available (running 1.0.9): " + site("dl/lumenrail-2.0.tar.gz"));
  }
  for (const char* path : {"/over", "/over-unsized"}) {
    Harness h(envFor(server.url(path)));
    h.checker->start();
    ASSERT_TRUE(h.rec.lineCount.waitFor(1));
    h.checker->stop();
    EXPECT_EQ(h.rec.linesNow(),
              (std::vector<std::string>{"[update] check failed (HTTP 200) - will retry tomorrow"}))
        << path;
    std::lock_guard lock(h.rec.mutex);
    EXPECT_TRUE(h.rec.releases.empty()) << path;
    EXPECT_TRUE(h.rec.verdicts.empty()) << path;
  }
}

TEST(UpdateCheckerIntegration, EndlessBodyIsCutOffWhileItDownloads) {
  TinyHttpServer server;
  // 256 MiB with no length: far more than any socket buffers, so the server
  // can only finish if the client reads it all.
  TinyHttpServer::Response endless{200, "{", false};
  endless.trailingSpaces = size_t{256} << 20;
  server.respond("/endless", endless);
  Harness h(envFor(server.url("/endless")));
  h.checker->start();
  ASSERT_TRUE(h.rec.lineCount.waitFor(1));
  EXPECT_EQ(h.rec.linesNow(), (std::vector<std::string>{"[update] check failed (HTTP 200) - will retry tomorrow"}));
  EXPECT_TRUE(server.bodyCutShort.waitFor(1));
  EXPECT_EQ(server.bodySent.count(), 0);
  h.checker->stop();
}

TEST(UpdateCheckerIntegration, RefusedConnectionFailsWithTheTransportError) {
  const test::RefusingPort refusing;
  Harness h(envFor("http://127.0.0.1:" + std::to_string(refusing.port()) + "/m.json"));
  h.checker->start();
  ASSERT_TRUE(h.rec.lineCount.waitFor(1));
  h.checker->stop();
  const auto lines = h.rec.linesNow();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("[update] check failed (")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(") - will retry tomorrow")) << lines[0];
  EXPECT_EQ(lines[0].find("HTTP"), std::string::npos) << lines[0];
}

TEST(UpdateCheckerIntegration, StopDuringASlowTransferReturnsAtOnceAndReportsNothing) {
  TinyHttpServer server;
  TinyHttpServer::Response held{200, manifest("2.0")};
  held.holdBody = true;
  server.respond("/slow", held);
  Harness h(envFor(server.url("/slow")));
  h.checker->start();
  ASSERT_TRUE(server.holding.waitFor(1));

  // Stop on another thread so that a stop that waited for the transfer would
  // fail this test instead of hanging it: the body only goes out after stop
  // has returned.
  OneShotEvent stopReturned;
  std::thread stopper([&] {
    h.checker->stop();
    stopReturned.signal();
  });
  const bool returnedWhileHeld = stopReturned.waitFor(test::kDeadlineNs);
  // The transfer was abandoned while the body was still held.
  const bool closedWhileHeld = server.peerClosedWhileHeld.waitFor(1);
  server.release();
  stopper.join();
  EXPECT_TRUE(returnedWhileHeld);
  EXPECT_TRUE(closedWhileHeld);

  h.checker.reset();  // joins the queue: the cut-short check has ended
  EXPECT_TRUE(h.rec.linesNow().empty());
  std::lock_guard lock(h.rec.mutex);
  EXPECT_TRUE(h.rec.releases.empty());
  EXPECT_TRUE(h.rec.verdicts.empty());
  EXPECT_EQ(server.bodySent.count(), 0);
}

TEST(UpdateCheckerIntegration, DestroyingTheCheckerCutsATransferShort) {
  TinyHttpServer server;
  TinyHttpServer::Response held{200, manifest("2.0")};
  held.holdBody = true;
  server.respond("/slow", held);
  Harness h(envFor(server.url("/slow")));
  h.checker->start();
  ASSERT_TRUE(server.holding.waitFor(1));
  h.checker.reset();
  EXPECT_TRUE(server.peerClosedWhileHeld.waitFor(1));
  EXPECT_TRUE(h.rec.linesNow().empty());
}

TEST(UpdateCheckerIntegration, EarlyChecksRunAtMostOnceAnHour) {
  TinyHttpServer server;
  server.respond("/m", {200, manifest("1.0.9")});
  std::atomic<uint64_t> wallNs{uint64_t{1'700'000'000} * kNsPerSecond};
  // A first check a day away: only early checks reach the server.
  Harness h(envFor(server.url("/m"), "86400"), [&] { return wallNs.load(); });
  h.checker->start();

  h.checker->requestRecheck("woke");
  h.checker->requestRecheck("network up");
  ASSERT_TRUE(h.rec.lineCount.waitFor(3));
  wallNs += 3600 * kNsPerSecond;
  h.checker->requestRecheck("an hour later");
  ASSERT_TRUE(h.rec.lineCount.waitFor(5));
  h.checker->stop();
  EXPECT_EQ(h.rec.linesNow(), (std::vector<std::string>{
                                  "[update] early check requested (woke)",
                                  "[update] up to date (running 1.0.9, latest 1.0.9)",
                                  "[update] early check (network up) skipped: one ran under an hour ago",
                                  "[update] early check requested (an hour later)",
                                  "[update] up to date (running 1.0.9, latest 1.0.9)",
                              }));
  EXPECT_EQ(server.requests.count(), 2);
}

TEST(UpdateCheckerIntegration, StartIsIdempotentAndARestartChecksAgain) {
  TinyHttpServer server;
  server.respond("/m", {200, manifest("1.0.9")});
  const std::string upToDate = "[update] up to date (running 1.0.9, latest 1.0.9)";
  Harness h(envFor(server.url("/m")), [] { return uint64_t{1'700'000'000} * kNsPerSecond; });
  h.checker->start();
  h.checker->start();
  ASSERT_TRUE(h.rec.lineCount.waitFor(1));
  // A second timer's first tick fell due before this early check was queued,
  // so it would run before the check queued after it: the skipped one.
  h.checker->requestRecheck("again");
  ASSERT_TRUE(h.rec.lineCount.waitFor(3));
  h.checker->requestRecheck("marker");
  ASSERT_TRUE(test::eventually([&] { return h.rec.linesNow().back().find("(marker)") != std::string::npos; }));
  EXPECT_EQ(h.rec.linesNow(), (std::vector<std::string>{
                                  upToDate,
                                  "[update] early check requested (again)",
                                  upToDate,
                                  "[update] early check (marker) skipped: one ran under an hour ago",
                              }));
  h.checker->stop();
  h.checker->start();
  ASSERT_TRUE(h.rec.lineCount.waitFor(5));
  h.checker.reset();
  EXPECT_EQ(h.rec.linesNow().back(), upToDate);
  EXPECT_EQ(server.requests.count(), 3);
}

// With no main executor the callbacks run on the checker's queue, and an owner
// may stop and drop the checker there; what is left of the check must not
// touch it (the address sanitizer build catches it when it does).
class DroppedFromItsCallbackIntegration : public testing::TestWithParam<bool> {};

TEST_P(DroppedFromItsCallbackIntegration, TheCheckEndsQuietly) {
  const bool fromVerdict = GetParam();
  TinyHttpServer server;
  server.respond("/m", {200, manifest("2.0.0")});
  Recorder rec;
  std::unique_ptr<UpdateChecker> checker;
  std::atomic<pid_t> queueThread{0};
  EventCounter callbacks;
  auto drop = [&] {
    queueThread = gettid();
    checker->stop();
    checker.reset();
    callbacks.add();
  };
  UpdateChecker::OnUpdate onUpdate = [&](const UpdateRelease&) {
    if (!fromVerdict) drop();
  };
  UpdateChecker::OnVerdict onVerdict = [&](HostUpdate, const std::string&, int64_t) {
    if (fromVerdict) drop();
  };
  checker = std::make_unique<UpdateChecker>(kRunning, "linux", envFor(server.url("/m")), rec.sink(), onUpdate,
                                            onVerdict);
  checker->start();
  ASSERT_TRUE(callbacks.waitFor(1));
  // The queue's thread, left to itself, finishes the check and ends (its
  // thread-exit clean-up included, which the leak checker needs done).
  const std::string task = "/proc/self/task/" + std::to_string(queueThread.load());
  ASSERT_TRUE(test::eventually([&] { return !std::filesystem::exists(task); }));
  EXPECT_EQ(callbacks.count(), 1);
  // Dropped from the verdict, the checker reports the release no more.
  EXPECT_EQ(rec.linesNow().size(), fromVerdict ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(UpdateChecker, DroppedFromItsCallbackIntegration, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "InOnVerdict" : "InOnUpdate";
                         });

}  // namespace
}  // namespace lumenrail
