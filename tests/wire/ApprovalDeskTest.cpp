// The approval desk: one question up, a bounded waiting room of one seat per
// fingerprint and per address, and every way out gives back what was held;
// and the admission of links that have not proven themselves yet.
#include <gtest/gtest.h>

#include <mutex>
#include <system_error>

#include "platform/Clock.hpp"
#include "support/Waiting.hpp"
#include "wire/ApprovalDesk.hpp"
#include "wire/LinkAdmission.hpp"

namespace lumenrail {
namespace {

using Seat = ApprovalDesk::Seat;

// An owner who answers only when the test says so.
struct Owner {
  std::mutex m;
  std::vector<std::string> asked;
  OneShotEvent answer;
  test::EventCounter questions;

  ApprovalDesk::Approve approver() {
    return [this](const std::string&, const std::string& fp, const std::string&) {
      {
        std::lock_guard lock(m);
        asked.push_back(fp);
      }
      questions.add();
      answer.wait();
      return true;
    };
  }
};

NamedThread realThread(std::string name, std::function<void()> body) {
  return NamedThread(std::move(name), std::move(body));
}

TEST(ApprovalDesk, OneQuestionUpBoundedWaitingAndEveryWayOutGivesTheSeatBack) {
  Owner owner;
  std::vector<std::string> dismissed;
  const auto cancel = [&](const std::string& fp) { dismissed.push_back(fp); };
  auto desk = ApprovalDesk::create(1);
  std::string error;
  int64_t seats = 0;

  ApprovalDesk::Claim a, b, c, again, sameAddress;
  ASSERT_EQ(desk->take(a, "A", 1, seats), Seat::taken);
  EXPECT_EQ(desk->take(again, "A", 9, seats), Seat::alreadyWaiting);
  EXPECT_EQ(desk->take(sameAddress, "S", 1, seats), Seat::addressWaiting);
  ASSERT_EQ(desk->take(b, "B", 2, seats), Seat::taken);
  EXPECT_EQ(desk->take(c, "C", 3, seats), Seat::full);
  EXPECT_EQ(seats, 2);
  EXPECT_FALSE(desk->withdraw(again, cancel)) << "a refused claim holds nothing";
  EXPECT_EQ(desk->seats(), 2);

  ASSERT_TRUE(desk->ask(a, owner.approver(), "123456", "Pad", realThread, error));
  ASSERT_TRUE(owner.questions.waitFor(1));
  ASSERT_TRUE(desk->ask(b, owner.approver(), "654321", "Phone", realThread, error));
  // B leaves while A's question is up: its question is never shown.
  EXPECT_TRUE(desk->withdraw(b, cancel));
  EXPECT_TRUE(dismissed.empty());
  EXPECT_EQ(desk->seats(), 1);
  EXPECT_EQ(desk->take(b, "B", 2, seats), Seat::taken) << "its fingerprint and address may ask again";
  EXPECT_FALSE(desk->withdraw(b, cancel)) << "a seat never handed in";

  // A leaves while its question is up: the prompt is dismissed, and the
  // answer that comes later frees the seat.
  EXPECT_TRUE(desk->withdraw(a, cancel));
  EXPECT_EQ(dismissed, std::vector<std::string>{"A"});
  owner.answer.signal();
  ASSERT_TRUE(test::eventually([&] { return desk->seats() == 0; }));
  std::lock_guard lock(owner.m);
  EXPECT_EQ(owner.asked, std::vector<std::string>{"A"});
}

TEST(ApprovalDesk, AQuestionThatCannotBeAskedIsRefusedAndFreesItsSeat) {
  auto desk = ApprovalDesk::create(0);
  ApprovalDesk::Claim claim;
  int64_t seats = 0;
  ASSERT_EQ(desk->take(claim, "A", 1, seats), Seat::taken);
  std::string error;
  const auto noThread = [](std::string, std::function<void()>) -> NamedThread {
    throw std::system_error(EAGAIN, std::generic_category(), "no thread");
  };
  EXPECT_FALSE(desk->ask(claim, nullptr, "1", "", noThread, error));
  EXPECT_NE(error.find("no thread"), std::string::npos);
  EXPECT_FALSE(desk->withdraw(claim, nullptr));
  EXPECT_EQ(desk->seats(), 0);
  EXPECT_EQ(desk->take(claim, "A", 1, seats), Seat::taken);
}

TEST(LinkAdmission, AFullHouseAgesOutTheStalestLinkOfTheAddressOrOfAllButNeverOneWaitingForTheOwner) {
  LinkAdmission admission({.maxUnproven = 3, .maxPerAddress = 2});
  constexpr uint64_t S = kNsPerSecond;
  const uint32_t a = 0x7f000002, b = 0x7f000003, c = 0x7f000004, d = 0x7f000005;
  std::vector<int> evicted;
  auto link = [&](int name) { return [&evicted, name] { evicted.push_back(name); return name; }; };
  auto admit = [&](uint32_t address, uint64_t now, int name) {
    auto admitted = admission.admit(address, now, link(name));
    if (admitted.victim) admitted.victim();
    return admitted;
  };
  const auto a1 = admit(a, 10 * S, 1);
  const auto a2 = admit(a, 20 * S, 2);
  admission.progress(a1.ticket, 30 * S);
  // Its address is full: a link of that address gives way, not another's.
  const auto a3 = admit(a, 40 * S, 3);
  EXPECT_EQ(evicted, std::vector<int>{2});
  EXPECT_EQ(a3.victimIdleNs, 20 * S);
  admission.progress(a3.ticket, 41 * S);
  const auto b1 = admit(b, 50 * S, 4);
  EXPECT_EQ(admission.unproven(), 3);
  // The house is full: of the idle links, the one that came least far goes.
  admission.hold(a1.ticket, true);
  const auto c1 = admit(c, 60 * S, 5);
  EXPECT_EQ(evicted, (std::vector<int>{2, 4})) << "a1 waits for the owner; a3 came further than b1";
  // A link busy with its proof goes only after every idle one, however far it came.
  const auto d1 = admit(d, 60 * S + S / 2, 6);
  EXPECT_EQ(evicted, (std::vector<int>{2, 4, 3})) << "c1 arrived half a second ago";
  admission.hold(c1.ticket, true);
  admission.hold(d1.ticket, true);
  const auto refused = admission.admit(b, 70 * S, link(7));
  EXPECT_FALSE(refused.ticket) << "every place waits for the owner";
  EXPECT_FALSE(refused.victim);
  // A link that gave way releases nothing of another's; a second release neither.
  admission.release(b1.ticket);
  admission.release(c1.ticket);
  admission.release(c1.ticket);
  EXPECT_EQ(admission.unproven(), 2);
  EXPECT_TRUE(admit(c, 80 * S, 8).ticket);
  EXPECT_EQ(evicted.size(), 3u);
}

TEST(LinkAdmission, OneAddressAgesOutAtMostItsShareOfLinksASecond) {
  LinkAdmission admission({.maxUnproven = 2, .maxPerAddress = 2});
  const uint32_t a = 0x7f000002, b = 0x7f000003;
  int evicted = 0;
  auto admit = [&](uint32_t address, uint64_t now) {
    auto admitted = admission.admit(address, now, [&evicted] { return ++evicted; });
    if (admitted.victim) admitted.victim();
    return admitted;
  };
  ASSERT_TRUE(admit(a, 0).ticket);
  ASSERT_TRUE(admit(a, 0).ticket);
  EXPECT_TRUE(admit(b, 0).ticket);
  EXPECT_TRUE(admit(b, 0).ticket);
  const auto third = admit(b, 0);
  EXPECT_FALSE(third.ticket);
  EXPECT_TRUE(third.tooFast);
  EXPECT_EQ(evicted, 2);
  EXPECT_TRUE(admit(b, kNsPerSecond / 2).ticket) << "half a second later it may age out one more";
  EXPECT_FALSE(admit(b, kNsPerSecond / 2).ticket);
  EXPECT_EQ(evicted, 3);
}

}  // namespace
}  // namespace lumenrail
