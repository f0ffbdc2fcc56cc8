#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "wire/FrameStallProbe.hpp"

namespace lumenrail {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

constexpr uint64_t ms(double value) { return static_cast<uint64_t>(value * 1'000'000); }

// Fake clocks: the uptime clock starts well above zero, as a real one does,
// and every episode's wall label says which episode opened it.
class FrameStallProbeTest : public ::testing::Test {
 protected:
  static constexpr uint64_t S = 5'000'000'000;

  std::unique_ptr<FrameStallProbe> make(double slowFrameMs, double gapMs) {
    return std::make_unique<FrameStallProbe>(
        slowFrameMs, gapMs, [this] { return now.load(); },
        [this] { return "T" + std::to_string(++wallLabels); },
        [this](const std::string& line) {
          std::lock_guard lock(linesMutex);
          lines.push_back(line);
        });
  }

  void at(uint64_t t) { now = t; }

  std::vector<std::string> logged() {
    std::lock_guard lock(linesMutex);
    return lines;
  }

  std::atomic<uint64_t> now{S};
  std::atomic<int> wallLabels{0};
  std::mutex linesMutex;
  std::vector<std::string> lines;
  // The serving session's thresholds.
  std::unique_ptr<FrameStallProbe> probe = make(100, 300);
};

TEST_F(FrameStallProbeTest, OneSlowFrameThenAnOnTimeFrameLogsASingleFrameEpisode) {
  const uint64_t c = S;
  at(c + ms(2.34));
  probe->noteEmit(c);
  at(c + ms(10));
  probe->noteEncoded(c);
  at(c + ms(120));
  probe->noteSent(9, c, c + ms(11), c + ms(60));
  EXPECT_THAT(logged(), IsEmpty());  // the episode is still open

  const uint64_t c2 = c + ms(130);
  at(c + ms(135));
  probe->noteSent(9, c2, c2 + ms(1), c2 + ms(2));
  EXPECT_THAT(logged(), ElementsAre("T1 fd 9: 1 slow frame(s) over 0 ms; worst 119 ms "
                                    "[pump 2.3 encode 7.7 queue 49.0 write 60.0]; longest send gap 0 ms"));
  EXPECT_EQ(wallLabels, 1);
}

TEST_F(FrameStallProbeTest, AnEpisodeSpansConsecutiveSlowFramesAndKeepsTheWorstAndTheLongestGap) {
  // On time; its send opens the socket's gap clock.
  at(S - ms(40));
  probe->noteSent(4, S - ms(50), S - ms(49), S - ms(48));
  // Slow (110 ms); its 150 ms gap is under the threshold, so the episode opens with gap 0.
  at(S + ms(110));
  probe->noteSent(4, S, S + ms(30), S + ms(50));
  // Slow (150 ms), the worst; gap 140 ms counts once the episode is open.
  at(S + ms(250));
  probe->noteSent(4, S + ms(100), S + ms(150), S + ms(160));
  // Slow (105 ms), gap 55 ms.
  at(S + ms(305));
  probe->noteSent(4, S + ms(200), S + ms(210), S + ms(220));
  EXPECT_THAT(logged(), IsEmpty());
  // On time: ends the episode that began at 110 and last sent at 305.
  at(S + ms(310));
  probe->noteSent(4, S + ms(300), S + ms(301), S + ms(302));
  EXPECT_THAT(logged(), ElementsAre("T1 fd 4: 3 slow frame(s) over 195 ms; worst 150 ms "
                                    "[pump 0.0 encode 50.0 queue 10.0 write 90.0]; longest send gap 140 ms"));
}

TEST_F(FrameStallProbeTest, AnOnTimeFrameAfterALongSendGapOpensAnEpisode) {
  at(S);
  probe->noteSent(5, S - ms(5), S - ms(4), S - ms(3));
  // Exactly the 300 ms threshold: the gap alone makes it slow.
  at(S + ms(300));
  probe->noteSent(5, S + ms(295), S + ms(296), S + ms(297));
  at(S + ms(310));
  probe->noteSent(5, S + ms(305), S + ms(306), S + ms(307));
  EXPECT_THAT(logged(), ElementsAre("T1 fd 5: 1 slow frame(s) over 0 ms; worst 5 ms "
                                    "[pump 0.0 encode 1.0 queue 1.0 write 3.0]; longest send gap 300 ms"));
}

TEST_F(FrameStallProbeTest, ThresholdsAreInclusiveToTheNanosecond) {
  // 1 ns short of both thresholds: not slow.
  at(S);
  probe->noteSent(6, S - ms(1), S - ms(1), S - ms(1));
  at(S + ms(300) - 1);
  probe->noteSent(6, S + ms(200), S + ms(200), S + ms(200));
  at(S + ms(400) - 1);
  probe->noteSent(6, S + ms(300), S + ms(300), S + ms(300));
  probe->flush(6);
  EXPECT_THAT(logged(), IsEmpty());
  // Exactly 100 ms from capture to the end of the send: slow.
  at(S + ms(600));
  probe->noteSent(6, S + ms(500), S + ms(550), S + ms(560));
  probe->flush(6);
  EXPECT_THAT(logged(), ElementsAre("T1 fd 6: 1 slow frame(s) over 0 ms; worst 100 ms "
                                    "[pump 0.0 encode 50.0 queue 10.0 write 40.0]; longest send gap 0 ms"));
}

TEST_F(FrameStallProbeTest, EncodeLegRunsToTheEnqueueWhenTheEncoderNeverStamped) {
  // Emitted but never stamped as encoded.
  at(S + ms(5));
  probe->noteEmit(S);
  at(S + ms(150));
  probe->noteSent(1, S, S + ms(40), S + ms(45));
  probe->flush(1);
  // Emitted, encoded, then emitted again: the fresh emit drops the old encode time.
  const uint64_t c = S + ms(1000);
  at(c + ms(5));
  probe->noteEmit(c);
  at(c + ms(20));
  probe->noteEncoded(c);
  at(c + ms(25));
  probe->noteEmit(c);
  at(c + ms(150));
  probe->noteSent(1, c, c + ms(40), c + ms(45));
  probe->flush(1);
  // Encoded without ever being emitted through the probe: nothing to stamp.
  const uint64_t d = S + ms(2000);
  at(d + ms(10));
  probe->noteEncoded(d);
  at(d + ms(150));
  probe->noteSent(1, d, d + ms(40), d + ms(45));
  probe->flush(1);
  EXPECT_THAT(logged(),
              ElementsAre("T1 fd 1: 1 slow frame(s) over 0 ms; worst 150 ms "
                          "[pump 5.0 encode 35.0 queue 5.0 write 105.0]; longest send gap 0 ms",
                          "T2 fd 1: 1 slow frame(s) over 0 ms; worst 150 ms "
                          "[pump 25.0 encode 15.0 queue 5.0 write 105.0]; longest send gap 0 ms",
                          "T3 fd 1: 1 slow frame(s) over 0 ms; worst 150 ms "
                          "[pump 0.0 encode 40.0 queue 5.0 write 105.0]; longest send gap 0 ms"));
}

TEST_F(FrameStallProbeTest, TwoClientsOnOneFrameShareItsStampButNotTheirEpisodesOrGaps) {
  at(S + ms(2));
  probe->noteEmit(S);
  at(S + ms(10));
  probe->noteEncoded(S);
  at(S + ms(105));
  probe->noteSent(7, S, S + ms(11), S + ms(100));
  at(S + ms(130));
  probe->noteSent(5, S, S + ms(11), S + ms(20));
  // fd 7 recovers; fd 5's episode stays open.
  at(S + ms(145));
  probe->noteSent(7, S + ms(140), S + ms(141), S + ms(142));
  EXPECT_THAT(logged(), ElementsAre("T1 fd 7: 1 slow frame(s) over 0 ms; worst 104 ms "
                                    "[pump 2.0 encode 8.0 queue 89.0 write 5.0]; longest send gap 0 ms"));
  // fd 5's gap runs from its own last send (130), not fd 7's (145): 300 ms, slow.
  at(S + ms(430));
  probe->noteSent(5, S + ms(425), S + ms(426), S + ms(427));
  probe->flush(std::nullopt);
  EXPECT_THAT(logged(), ElementsAre(::testing::_, "T2 fd 5: 2 slow frame(s) over 300 ms; worst 129 ms "
                                                  "[pump 2.0 encode 8.0 queue 9.0 write 110.0]; longest send gap 300 ms"));
}

TEST_F(FrameStallProbeTest, FlushOnDepartureLogsTheOpenEpisodeAndForgetsTheSocket) {
  at(S + ms(200));
  probe->noteSent(3, S, S + ms(50), S + ms(60));
  probe->flush(3);
  EXPECT_THAT(logged(), ElementsAre("T1 fd 3: 1 slow frame(s) over 0 ms; worst 200 ms "
                                    "[pump 0.0 encode 50.0 queue 10.0 write 140.0]; longest send gap 0 ms"));
  // Nothing open: nothing to log, for a known socket or an unknown one.
  probe->flush(3);
  probe->flush(8);
  EXPECT_EQ(logged().size(), 1u);
  // A new client on the same descriptor starts without a gap, however long ago the last send was.
  at(S + ms(5000));
  probe->noteSent(3, S + ms(4995), S + ms(4996), S + ms(4997));
  probe->flush(3);
  EXPECT_EQ(logged().size(), 1u);
}

TEST_F(FrameStallProbeTest, FlushOfAllEndsEveryEpisodeButKeepsTheLastSends) {
  at(S + ms(200));
  probe->noteSent(11, S, S + ms(10), S + ms(20));
  probe->noteSent(2, S, S + ms(10), S + ms(30));
  probe->flush(std::nullopt);
  EXPECT_THAT(logged(), UnorderedElementsAre(::testing::HasSubstr(" fd 11: 1 slow frame(s)"),
                                             ::testing::HasSubstr(" fd 2: 1 slow frame(s)")));
  probe->flush(std::nullopt);
  EXPECT_EQ(logged().size(), 2u);
  // fd 2 still remembers its last send: an on-time frame 400 ms later is a gap stall.
  at(S + ms(600));
  probe->noteSent(2, S + ms(595), S + ms(596), S + ms(597));
  probe->flush(2);
  ASSERT_EQ(logged().size(), 3u);
  EXPECT_THAT(logged()[2], ::testing::EndsWith("fd 2: 1 slow frame(s) over 0 ms; worst 5 ms "
                                               "[pump 0.0 encode 1.0 queue 1.0 write 3.0]; longest send gap 400 ms"));
}

TEST_F(FrameStallProbeTest, ClocksGoingBackwardsGiveZeroLegsAndGaps) {
  probe = make(0, 0);  // every frame is slow, so every leg shows in the line
  const uint64_t c = S + ms(500);  // captured "after" every clock reading below
  at(S);
  probe->noteEmit(c);
  at(S - ms(1));
  probe->noteEncoded(c);
  at(S - ms(2));
  probe->noteSent(6, c, S + ms(10), S + ms(5));  // dequeued before enqueued
  at(S - ms(3));
  probe->noteSent(6, c, S + ms(10), S + ms(5));  // sent before the previous send
  probe->flush(6);
  EXPECT_THAT(logged(), ElementsAre("T1 fd 6: 2 slow frame(s) over 0 ms; worst 0 ms "
                                    "[pump 0.0 encode 0.0 queue 0.0 write 0.0]; longest send gap 0 ms"));
}

TEST_F(FrameStallProbeTest, KeepsStampsForTheNewest256FramesOnly) {
  probe = make(0, 0);
  // Frame i is captured at i ms and emitted 5 s later.
  auto capture = [](int i) { return ms(i); };
  for (int i = 1; i <= 300; ++i) {
    at(capture(i) + ms(5000));
    probe->noteEmit(capture(i));
  }
  // Emitting a stamped frame again must not count it twice towards the bound.
  for (int i = 45; i <= 300; ++i) {
    at(capture(i) + ms(5000));
    probe->noteEmit(capture(i));
  }
  auto legsOf = [&](int i) {
    at(capture(i) + ms(6000));
    probe->noteSent(1, capture(i), capture(i) + ms(6000), capture(i) + ms(6000));
    probe->flush(1);
    const std::string line = logged().back();
    return line.substr(line.find('['));
  };
  const std::string stamped = "[pump 5000.0 encode 1000.0 queue 0.0 write 0.0]; longest send gap 0 ms";
  const std::string unstamped = "[pump 0.0 encode 6000.0 queue 0.0 write 0.0]; longest send gap 0 ms";
  EXPECT_EQ(legsOf(1), unstamped);
  EXPECT_EQ(legsOf(44), unstamped);
  EXPECT_EQ(legsOf(45), stamped);
  EXPECT_EQ(legsOf(300), stamped);
  // Sending never removes a stamp: the frame goes to every client on the lane.
  EXPECT_EQ(legsOf(300), stamped);
}

TEST_F(FrameStallProbeTest, RejectsThresholdsThatAreNotFiniteOrNegative) {
  const double bad[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(), -1, -1e-9};
  for (double value : bad) {
    SCOPED_TRACE(value);
    EXPECT_THROW(make(value, 300), std::invalid_argument);
    EXPECT_THROW(make(100, value), std::invalid_argument);
  }
  // Too large for 64-bit nanoseconds: accepted, and never reached.
  probe = make(1e300, 1e300);
  at(S + ms(1e6));
  probe->noteSent(4, S, S, S);
  at(S + ms(2e6));
  probe->noteSent(4, S, S, S);
  probe->flush(4);
  EXPECT_THAT(logged(), IsEmpty());
}

TEST(FrameStallProbe, DefaultClocksLabelEpisodesWithTheLocalTimeOfDay) {
  const std::regex timeOfDay(R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3})");
  EXPECT_TRUE(std::regex_match(FrameStallProbe::wallClockNow(), timeOfDay));

  std::vector<std::string> lines;
  FrameStallProbe probe(0, 0, [&](const std::string& line) { lines.push_back(line); });
  probe.noteSent(3, 1, 1, 1);
  probe.flush(3);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"(\d\d:\d\d:\d\d\.\d{3} fd 3: 1 slow frame\(s\) over 0 ms; worst \d+ ms )"
                           R"(\[pump 0\.0 encode 0\.0 queue 0\.0 write \d+\.\d\]; longest send gap 0 ms)")))
      << lines[0];

  // Without a log the lines are dropped quietly.
  FrameStallProbe silent(0, 0, nullptr);
  silent.noteSent(3, 1, 1, 1);
  silent.flush(std::nullopt);
}

// The clock and the log may do anything, including calling back into the
// probe: neither runs while the probe's lock is held. Each call back is made
// from another thread and waited for with a deadline, so a held lock fails
// the test instead of hanging it.
TEST(FrameStallProbe, ReadsTheClockAndLogsOutsideItsLock) {
  std::unique_ptr<FrameStallProbe> probe;
  std::vector<std::future<void>> callbacks;  // destroyed only after the probe's calls return
  int blocked = 0;
  int checked = 0;
  auto callBackFromAnotherThread = [&] {
    callbacks.push_back(std::async(std::launch::async, [&] { probe->noteEncoded(42); }));
    if (callbacks.back().wait_for(std::chrono::seconds(10)) != std::future_status::ready) ++blocked;
    ++checked;
  };
  std::atomic<uint64_t> clock{1'000'000'000};
  std::atomic<bool> reenterClock{false};
  const auto testThread = std::this_thread::get_id();
  probe = std::make_unique<FrameStallProbe>(
      100, 300,
      [&] {
        // Only the test thread's reads call back; the call back reads the clock too.
        if (reenterClock && std::this_thread::get_id() == testThread) callBackFromAnotherThread();
        return clock.fetch_add(ms(1));
      },
      [] { return std::string("W"); }, [&](const std::string&) { callBackFromAnotherThread(); });

  reenterClock = true;
  probe->noteEmit(42);
  probe->noteEncoded(42);
  probe->noteSent(3, 42, 42, 42);  // captured long ago: slow, opens an episode
  reenterClock = false;
  const uint64_t fresh = clock.load();
  probe->noteSent(3, fresh, fresh, fresh);  // on time: the episode's line comes from noteSent
  probe->noteSent(4, 42, 42, 42);
  probe->flush(4);
  probe->noteSent(5, 42, 42, 42);
  probe->flush(std::nullopt);
  for (auto& callback : callbacks) callback.get();
  EXPECT_EQ(checked, 6);  // three clock reads, three lines
  EXPECT_EQ(blocked, 0);
}

// Pacer, encoder output, three write threads and a flusher at once; run under
// the sanitizer build this also checks the locking. With zero thresholds
// every frame is slow, so whatever the interleaving, the frame counts of each
// socket's lines add up to the frames it sent.
TEST(FrameStallProbe, CountsEveryFrameWhenFedFromManyThreads) {
  constexpr int kFrames = 2000;
  const std::vector<int32_t> fds{10, 11, 12};
  std::atomic<uint64_t> clock{1'000'000'000};
  std::mutex linesMutex;
  std::vector<std::string> lines;
  FrameStallProbe probe(
      0, 0, [&] { return clock.fetch_add(1000); }, [] { return std::string("W"); },
      [&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(line);
      });

  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 1; i <= kFrames; ++i) probe.noteEmit(static_cast<uint64_t>(i) * 1000);
  });
  threads.emplace_back([&] {
    for (int i = 1; i <= kFrames; ++i) probe.noteEncoded(static_cast<uint64_t>(i) * 1000);
  });
  for (int32_t fd : fds) {
    threads.emplace_back([&probe, fd] {
      for (int i = 1; i <= kFrames; ++i) {
        const uint64_t c = static_cast<uint64_t>(i) * 1000;
        probe.noteSent(fd, c, c + 10, c + 20);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 200; ++i) probe.flush(std::nullopt);
  });
  for (auto& thread : threads) thread.join();
  for (int32_t fd : fds) probe.flush(fd);

  const std::regex shape(R"(W fd (\d+): (\d+) slow frame\(s\) over \d+ ms; worst \d+ ms )"
                         R"(\[pump \d+\.\d encode \d+\.\d queue \d+\.\d write \d+\.\d\]; longest send gap \d+ ms)");
  std::map<int32_t, int64_t> framesPerFd;
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    framesPerFd[std::stoi(match[1])] += std::stoll(match[2]);
  }
  EXPECT_EQ(framesPerFd, (std::map<int32_t, int64_t>{{10, kFrames}, {11, kFrames}, {12, kFrames}}));
}

}  // namespace
}  // namespace lumenrail
