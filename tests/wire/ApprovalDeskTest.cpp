// The approval desk: one question up, a bounded waiting room of one seat per
// fingerprint, and every way out gives back what was held.
#include <gtest/gtest.h>

#include <mutex>
#include <system_error>

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

  ApprovalDesk::Claim a, b, c, again;
  ASSERT_EQ(desk->take(a, "A", seats), Seat::taken);
  EXPECT_EQ(desk->take(again, "A", seats), Seat::alreadyWaiting);
  ASSERT_EQ(desk->take(b, "B", seats), Seat::taken);
  EXPECT_EQ(desk->take(c, "C", seats), Seat::full);
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
  EXPECT_EQ(desk->take(b, "B", seats), Seat::taken) << "its fingerprint may ask again";
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
  ASSERT_EQ(desk->take(claim, "A", seats), Seat::taken);
  std::string error;
  const auto noThread = [](std::string, std::function<void()>) -> NamedThread {
    throw std::system_error(EAGAIN, std::generic_category(), "no thread");
  };
  EXPECT_FALSE(desk->ask(claim, nullptr, "1", "", noThread, error));
  EXPECT_NE(error.find("no thread"), std::string::npos);
  EXPECT_FALSE(desk->withdraw(claim, nullptr));
  EXPECT_EQ(desk->seats(), 0);
  EXPECT_EQ(desk->take(claim, "A", seats), Seat::taken);
}

TEST(LinkAdmission, OneAddressHoldsAFewPlacesAndTheReserveIsKeptForPairedDevices) {
  using Place = LinkAdmission::Place;
  LinkAdmission admission({.maxUnproven = 3, .maxPerAddress = 2, .reservedForPaired = 1});
  int64_t waiting = -1;
  const uint32_t a = 0x7f000002, b = 0x7f000003, c = 0x7f000004;
  EXPECT_EQ(admission.admit(a, true, waiting), Place::common);
  EXPECT_EQ(admission.admit(a, true, waiting), Place::common);
  EXPECT_EQ(admission.admit(a, true, waiting), Place::refused) << "one address is capped";
  EXPECT_EQ(waiting, 2);
  EXPECT_EQ(admission.admit(b, true, waiting), Place::common);
  EXPECT_EQ(admission.admit(b, false, waiting), Place::refused) << "the reserve is only for links that may pair";
  EXPECT_EQ(waiting, 3);
  EXPECT_EQ(admission.admit(c, true, waiting), Place::reserved);
  EXPECT_EQ(admission.admit(b, true, waiting), Place::refused);
  EXPECT_EQ(admission.unproven(), 4);
  admission.release(c, Place::reserved);
  admission.release(a, Place::common);
  EXPECT_EQ(admission.admit(a, false, waiting), Place::common);
  EXPECT_EQ(admission.admit(c, true, waiting), Place::reserved);
  EXPECT_EQ(admission.unproven(), 4);
}

}  // namespace
}  // namespace lumenrail
