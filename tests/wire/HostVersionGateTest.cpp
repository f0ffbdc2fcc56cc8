// The client-version rules: verdicts, the host's report, one judgement per client.
#include <gtest/gtest.h>

#include "wire/HostVersionGate.hpp"

namespace lumenrail {
namespace {

using Verdict = HostVersionGate::ClientVerdict;
using Kind = HostVersionGate::Decision::Kind;

std::optional<PeerVersion> level(int64_t n) {
  PeerVersion v;
  v.wireLevel = n;
  return v;
}

TEST(HostVersionGate, VerdictsAndFloor) {
  struct Row {
    std::optional<PeerVersion> reported;
    int64_t floor;
    Verdict verdict;
  };
  const Row rows[] = {
      {std::nullopt, 0, Verdict::ok},                 // no floor: everyone is served
      {std::nullopt, -3, Verdict::ok},
      {std::nullopt, 2, Verdict::hostEndsSession},    // silent below a floor: the host ends it
      {level(1), 2, Verdict::clientBlocksItself},     // reported, too old: the client shows its own screen
      {level(0), 1, Verdict::clientBlocksItself},
      {level(2), 2, Verdict::ok},
      {level(3), 2, Verdict::ok},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(HostVersionGate::judge(r.reported, r.floor), r.verdict)
        << "floor " << r.floor << ", level " << (r.reported ? r.reported->wireLevel : -1);
  }
  EXPECT_EQ(HostVersionGate::floor(-4), 0);
  EXPECT_EQ(HostVersionGate::floor(3), 3);
}

TEST(HostVersionGate, ReportCarriesTheVerdictAndOnlyRealChangesCount) {
  EXPECT_FALSE(HostVersionGate(std::nullopt).reportPacket());

  HostVersionGate gate("1.0.9");
  EXPECT_EQ(*gate.reportPacket(), (Bytes{0x20, 13, 0, 0, 0, 2, 0, 4, 5, '1', '.', '0', '.', '9', 0, 0, 0, 0}));
  EXPECT_FALSE(gate.setVerdict(0, HostUpdate::none, "ignored")) << "a name without an update is no change";
  EXPECT_TRUE(gate.setVerdict(1, HostUpdate::required, "2.0"));
  EXPECT_FALSE(gate.setVerdict(1, HostUpdate::required, "2.0"));
  EXPECT_EQ(gate.clientFloor(), 1);
  EXPECT_EQ(*gate.reportPacket(),
            (Bytes{0x20, 16, 0, 0, 0, 2, 0, 4, 5, '1', '.', '0', '.', '9', 1, 0, 2, 3, '2', '.', '0'}));
}

TEST(HostVersionGate, EachClientIsJudgedOnceAndTheVerdictSticks) {
  HostVersionGate gate("1.0.9");
  gate.setVerdict(2, HostUpdate::none, "");

  ClientConn silent(-1, 4, true);
  silent.deviceName = "Tab";
  const auto first = gate.judgeClient(silent);
  EXPECT_TRUE(first.first);
  EXPECT_EQ(first.kind, Kind::refused);
  EXPECT_EQ(first.deviceName, "Tab");
  EXPECT_TRUE(silent.versionRefused);
  // A report that arrives after the verdict changes nothing.
  silent.peerVersion = level(2);
  const auto again = gate.judgeClient(silent);
  EXPECT_FALSE(again.first);
  EXPECT_EQ(again.kind, Kind::refused);

  ClientConn old(-1, 4, true);
  old.peerVersion = level(1);
  const auto below = gate.judgeClient(old);
  EXPECT_EQ(below.kind, Kind::belowFloor);
  EXPECT_EQ(below.level, 1);
  EXPECT_FALSE(old.versionRefused);
  EXPECT_EQ(gate.judgeClient(old).kind, Kind::admitted) << "served on: it blocks itself";
}

}  // namespace
}  // namespace lumenrail
