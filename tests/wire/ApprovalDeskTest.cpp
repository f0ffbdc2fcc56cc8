// The approval desk: one question up, a bounded waiting room of one seat per
// fingerprint and per address, a screen that changes at most once an interval
// and budgets that keep it for the device in front of the owner, every way out
// giving back what was held; and the admission of links that have not proven
// themselves yet.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>

#include "platform/Clock.hpp"
#include "support/Waiting.hpp"
#include "wire/ApprovalDesk.hpp"
#include "wire/LinkAdmission.hpp"

namespace lumenrail {
namespace {

using Seat = ApprovalDesk::Seat;
constexpr uint64_t Ms = kNsPerMs;

NamedThread realThread(std::string name, std::function<void()> body) {
  return NamedThread(std::move(name), std::move(body));
}

// A desk and an owner who answers each question when the test says so (a
// dismissal answers it as refused); times are read on the desk's clock.
struct Desk {
  explicit Desk(ApprovalDesk::Rules rules, NowNs clock = uptimeNs)
      : now(clock), desk(ApprovalDesk::create(rules, clock)) {}
  // The asking thread calls into the owner: it is done before the owner goes.
  ~Desk() {
    answer("", false);
    EXPECT_TRUE(test::eventually([&] { return desk->seats() == 0; }));
  }
  Seat take(ApprovalDesk::Claim& claim, const std::string& fp, uint32_t address) {
    int64_t seats = 0;
    return desk->take(claim, fp, address, seats);
  }
  bool ask(ApprovalDesk::Claim& claim) {
    std::string error;
    const auto approve = [this](const std::string&, const std::string& fp, const std::string&) {
      std::unique_lock lock(m);
      asked.push_back(fp);
      cv.notify_all();
      cv.wait(lock, [&] { return answers.count(fp) || answers.count(""); });
      times["closed " + fp] = now();
      return answers[fp];
    };
    return desk->ask(claim, approve, "123456", "Pad", nullptr, realThread, error);
  }
  bool withdraw(ApprovalDesk::Claim& claim, bool promptly = true) {
    const auto dismiss = [this](const std::string& fp) {
      std::lock_guard lock(m);
      times["dismissed " + fp] = now();
      answers[fp] = false;
      cv.notify_all();
    };
    return desk->withdraw(claim, dismiss, promptly);
  }
  void answer(const std::string& fp, bool allow) {
    std::lock_guard lock(m);
    answers[fp] = allow;
    cv.notify_all();
  }
  bool waitAsked(size_t n) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return asked.size() >= n; });
  }
  uint64_t shownNs(ApprovalDesk::Claim& claim) {
    std::lock_guard lock(claim.box->lock);
    return claim.box->shownNs;
  }
  NowNs now;
  std::shared_ptr<ApprovalDesk> desk;
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> asked;
  std::map<std::string, bool> answers;
  std::map<std::string, uint64_t> times;
};

TEST(ApprovalDesk, OnePerDeviceAndAddressTheNewestTakesTheOldestSeatUnlessItsAddressAskedMoreAndBudgetsRefill) {
  auto now = std::make_shared<std::atomic<uint64_t>>(0);
  Desk d({.maxWaiting = 1, .stayNs = 0, .sheetIntervalNs = 0, .questionBurst = 2,
          .questionRefillNs = 10 * kNsPerSecond},
         [now] { return now->load(); });
  ApprovalDesk::Claim up, again, neighbour, older, newer, back, fresh, c;
  ASSERT_EQ(d.take(up, "Up", 1), Seat::taken);
  EXPECT_EQ(d.take(again, "Up", 9), Seat::alreadyWaiting);
  EXPECT_EQ(d.take(neighbour, "N", 1), Seat::addressWaiting);
  EXPECT_FALSE(d.withdraw(again)) << "a refused claim holds nothing";
  ASSERT_TRUE(d.ask(up));
  ASSERT_TRUE(d.waitAsked(1));
  ASSERT_EQ(d.take(older, "Older", 2), Seat::taken);
  ASSERT_TRUE(d.ask(older));
  *now += 1;
  ASSERT_EQ(d.take(newer, "Newer", 3), Seat::taken);
  EXPECT_TRUE(older.box->sem.isSignaled() && older.box->displaced) << "the room was full";
  EXPECT_FALSE(d.ask(older)) << "its seat went to the newer question";
  // Its address has asked once already: it does not push out one that has not.
  EXPECT_EQ(d.take(back, "Older", 2), Seat::full);
  d.withdraw(older);
  *now += 1;
  EXPECT_EQ(d.take(fresh, "Fresh", 4), Seat::taken) << "equal budgets: the newest wins";
  EXPECT_TRUE(newer.box->displaced);
  d.withdraw(newer);
  d.withdraw(fresh);
  // An address that keeps asking runs out, and gets one more question each refill.
  using Step = std::pair<uint64_t, Seat>;
  for (const auto& [advance, seat] :
       {Step{0, Seat::taken}, Step{0, Seat::tooOften}, Step{10 * kNsPerSecond, Seat::taken}, Step{0, Seat::tooOften}}) {
    *now += advance;
    EXPECT_EQ(d.take(c, "X", 2), seat);
    d.withdraw(c);
  }
  // The owner allows the device of address 1: its budget is whole again.
  d.answer("Up", true);
  ASSERT_TRUE(test::eventually([&] { return d.desk->seats() == 0; }));
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(d.take(c, "Again", 1), Seat::taken);
    d.withdraw(c);
  }
  EXPECT_EQ(d.desk->takeUnshown(), 12) << "refused, pushed out or withdrawn unshown";
}

TEST(ApprovalDesk, AQuestionGoesUpOnceItsDeviceStayedAndTheSheetChangesAtMostOnceAnInterval) {
  // Each look at the clock moves it on 10 ms: the desk's own waiting drives time.
  auto ticks = std::make_shared<std::atomic<uint64_t>>(0);
  const NowNs clock = [ticks] { return ticks->fetch_add(10 * Ms) + 10 * Ms; };
  Desk d({.maxWaiting = 4, .stayNs = 300 * Ms, .sheetIntervalNs = 500 * Ms}, clock);
  ApprovalDesk::Claim gone, first, a, b;
  // A device that hangs up before the stay is over never reaches the screen.
  ASSERT_EQ(d.take(gone, "Gone", 1), Seat::taken);
  ASSERT_TRUE(d.ask(gone));
  EXPECT_FALSE(d.withdraw(gone, false));

  const uint64_t askedFirst = clock();
  ASSERT_EQ(d.take(first, "First", 2), Seat::taken);
  ASSERT_TRUE(d.ask(first));
  ASSERT_TRUE(d.waitAsked(1));
  EXPECT_GE(d.shownNs(first), askedFirst + 300 * Ms);
  ASSERT_EQ(d.take(a, "A", 3), Seat::taken);
  ASSERT_TRUE(d.ask(a));
  ASSERT_EQ(d.take(b, "B", 4), Seat::taken);
  ASSERT_TRUE(d.ask(b));
  // Each answer takes its sheet down at once; the next goes up an interval
  // later, the newest first.
  d.answer("First", false);
  ASSERT_TRUE(d.waitAsked(2));
  d.answer("B", false);
  ASSERT_TRUE(d.waitAsked(3));
  const uint64_t shownA = d.shownNs(a);
  // A's device leaves at once: its sheet stays up the interval, then goes.
  EXPECT_TRUE(d.withdraw(a, false));
  std::lock_guard lock(d.m);
  EXPECT_EQ(d.asked, (std::vector<std::string>{"First", "B", "A"}));
  EXPECT_GE(d.shownNs(b), d.times["closed First"] + 500 * Ms);
  EXPECT_GE(shownA, d.times["closed B"] + 500 * Ms);
  EXPECT_GE(d.times["dismissed A"], shownA + 500 * Ms);
}

TEST(ApprovalDesk, AQuestionThatCannotBeAskedIsRefusedAndFreesItsSeat) {
  auto desk = ApprovalDesk::create({.maxWaiting = 0});
  ApprovalDesk::Claim claim;
  int64_t seats = 0;
  ASSERT_EQ(desk->take(claim, "A", 1, seats), Seat::taken);
  std::string error;
  const auto noThread = [](std::string, std::function<void()>) -> NamedThread {
    throw std::system_error(EAGAIN, std::generic_category(), "no thread");
  };
  EXPECT_FALSE(desk->ask(claim, nullptr, "1", "", nullptr, noThread, error));
  EXPECT_NE(error.find("no thread"), std::string::npos);
  EXPECT_FALSE(desk->withdraw(claim, nullptr, true));
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
    admission.looked(admitted.ticket);
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
  EXPECT_EQ(refused.refusal, LinkAdmission::Refusal::allHeld);
  EXPECT_FALSE(refused.victim);
  // A link that gave way releases nothing of another's; a second release neither.
  admission.release(b1.ticket);
  admission.release(c1.ticket);
  admission.release(c1.ticket);
  EXPECT_EQ(admission.unproven(), 2);
  EXPECT_TRUE(admit(c, 80 * S, 8).ticket);
  EXPECT_EQ(evicted.size(), 3u);
}

TEST(LinkAdmission, NoLinkGivesWayUnreadAndTheHouseBoundsAddressesThatAgeOutOthersButNotADevice) {
  LinkAdmission admission({.maxUnproven = 3, .maxPerAddress = 4, .housePerSecond = 1});
  constexpr uint64_t S = kNsPerSecond;
  const uint32_t stranger = 0x7f000009, device = 0x7f00000a;
  using Refusal = LinkAdmission::Refusal;
  auto admit = [&](uint32_t address, uint64_t now) {
    auto admitted = admission.admit(address, now, [] { return 1; });
    if (admitted.victim) admitted.victim();
    return admitted;
  };
  std::vector<LinkAdmission::Ticket> others;
  for (uint32_t address = 2; address < 5; ++address) others.push_back(admit(0x7f000000 + address, 0).ticket);
  // No thread has looked at its link yet: none may be closed.
  EXPECT_EQ(admit(stranger, 0).refusal, Refusal::allHeld);
  for (const auto& t : others) admission.looked(t);
  const auto s1 = admit(stranger, 0);
  ASSERT_TRUE(s1.ticket && s1.victim) << "an address that has aged out none is not held to the house's bound";
  admission.looked(s1.ticket);
  const auto s2 = admit(stranger, S / 10);
  ASSERT_TRUE(s2.ticket && s2.victim) << "the house's one a second";
  admission.looked(s2.ticket);
  EXPECT_EQ(admit(stranger, S / 5).refusal, Refusal::houseTooFast);
  // A device dialling in now is not kept out by the stranger's churn, nor
  // on its next dials once its link proved itself.
  const auto d1 = admit(device, S / 5);
  ASSERT_TRUE(d1.ticket && d1.victim);
  admission.proven(d1.ticket, S / 4);
  admission.release(d1.ticket);
  admission.looked(admit(stranger, S / 4).ticket);
  for (uint64_t t : {S / 2, S / 2 + 1}) {
    const auto d = admit(device, t);
    ASSERT_TRUE(d.ticket && d.victim);
    admission.looked(d.ticket);
  }
}

TEST(LinkAdmission, OneAddressAgesOutAtMostItsShareOfLinksASecond) {
  LinkAdmission admission({.maxUnproven = 2, .maxPerAddress = 2});
  const uint32_t a = 0x7f000002, b = 0x7f000003;
  int evicted = 0;
  auto admit = [&](uint32_t address, uint64_t now) {
    auto admitted = admission.admit(address, now, [&evicted] { return ++evicted; });
    if (admitted.victim) admitted.victim();
    admission.looked(admitted.ticket);
    return admitted;
  };
  ASSERT_TRUE(admit(a, 0).ticket);
  ASSERT_TRUE(admit(a, 0).ticket);
  EXPECT_TRUE(admit(b, 0).ticket);
  EXPECT_TRUE(admit(b, 0).ticket);
  const auto third = admit(b, 0);
  EXPECT_FALSE(third.ticket);
  EXPECT_EQ(third.refusal, LinkAdmission::Refusal::addressTooFast);
  EXPECT_EQ(evicted, 2);
  EXPECT_TRUE(admit(b, kNsPerSecond / 2).ticket) << "half a second later it may age out one more";
  EXPECT_FALSE(admit(b, kNsPerSecond / 2).ticket);
  EXPECT_EQ(evicted, 3);
}

}  // namespace
}  // namespace lumenrail
