#include "wire/ApprovalDesk.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <tuple>
#include <utility>

namespace lumenrail {

namespace {
// Waits on the desk's clock look at it at least this often, so a clock a test
// moves by hand is noticed.
constexpr uint64_t kClockLookNs = 20 * kNsPerMs;
// Budgets are kept for this many addresses; beyond, those back to a full
// budget are forgotten (and all of them if none is).
constexpr size_t kBudgetsKept = 4096;
}  // namespace

ApprovalDesk::ApprovalDesk(Rules rules, NowNs now, std::function<void()> unshown)
    : rules_(rules), now_(std::move(now)), unshownHook_(std::move(unshown)) {}

std::shared_ptr<ApprovalDesk> ApprovalDesk::create(Rules rules, NowNs now, std::function<void()> unshown) {
  std::shared_ptr<ApprovalDesk> desk(new ApprovalDesk(rules, std::move(now), std::move(unshown)));
  desk->self_ = desk;
  return desk;
}

ApprovalDesk::Budget& ApprovalDesk::budget(uint32_t address, uint64_t nowNs) {
  const auto burst = static_cast<double>(rules_.questionBurst);
  const auto refilled = [&](const Budget& b) {
    if (nowNs <= b.refilledNs || rules_.questionRefillNs == 0) return b.questions;
    return std::min(burst, b.questions + static_cast<double>(nowNs - b.refilledNs) /
                                             static_cast<double>(rules_.questionRefillNs));
  };
  if (budgets_.size() >= kBudgetsKept && !budgets_.count(address)) {
    std::erase_if(budgets_, [&](const auto& entry) { return refilled(entry.second) >= burst; });
    if (budgets_.size() >= kBudgetsKept) budgets_.clear();  // more addresses than a LAN has: start afresh
  }
  auto [it, added] = budgets_.try_emplace(address, Budget{burst, nowNs});
  it->second.questions = refilled(it->second);
  it->second.refilledNs = std::max(it->second.refilledNs, nowNs);
  return it->second;
}

int64_t ApprovalDesk::takeUnshown() {
  std::lock_guard lock(mutex_);
  return std::exchange(unshown_, 0);
}

std::map<uint64_t, ApprovalDesk::Entry>::iterator ApprovalDesk::next(uint64_t nowNs, bool& waiting) {
  auto best = entries_.end();
  waiting = false;
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    const Entry& e = it->second;
    if (!e.request || e.up) continue;
    waiting = true;
    if (nowNs < e.handedInNs + rules_.stayNs) continue;  // not stayed long enough yet
    if (best == entries_.end() ||
        std::tuple(e.level, e.seatedNs) > std::tuple(best->second.level, best->second.seatedNs)) {
      best = it;
    }
  }
  return best;
}

void ApprovalDesk::serve(const std::shared_ptr<ApprovalDesk>& desk) {
  std::unique_lock lock(desk->mutex_);
  for (;;) {
    const uint64_t now = desk->now_();
    bool waiting = false;
    const auto up = desk->next(now, waiting);
    if (!waiting) {
      desk->asking_ = false;
      return;
    }
    const bool sheetFree =
        !desk->sheetChanged_ || now >= desk->sheetChangedNs_ + desk->rules_.sheetIntervalNs;
    if (up == desk->entries_.end() || !sheetFree) {
      desk->changed_.wait_for(lock, std::chrono::nanoseconds(kClockLookNs));
      continue;
    }
    Entry& entry = up->second;
    entry.up = true;
    const uint64_t seat = up->first;
    const uint32_t address = entry.address;
    const auto box = entry.box;
    const auto request = entry.request;
    {
      std::lock_guard boxLock(box->lock);
      box->shown = true;
      box->shownNs = now;
    }
    desk->sheetChanged_ = true;
    desk->sheetChangedNs_ = now;
    // Under the desk's lock: the prologue that handed it in cannot have
    // withdrawn and gone yet.
    try {
      if (request->shown) request->shown();
    } catch (...) {
      // Only its line is lost.
    }
    lock.unlock();

    bool allowed = false;
    try {
      allowed = request->approve && request->approve(request->sas, request->fingerprint, request->name);
    } catch (...) {
      allowed = false;  // an approver that fails refuses
    }
    {
      std::lock_guard boxLock(box->lock);
      box->decision = allowed;
      box->answered = true;
    }
    box->sem.signal();

    lock.lock();
    desk->entries_.erase(seat);
    desk->sheetChangedNs_ = desk->now_();
    // The owner vouched for the device in front of them: its address may ask again.
    if (allowed) {
      desk->budget(address, desk->sheetChangedNs_).questions = static_cast<double>(desk->rules_.questionBurst);
    }
  }
}

ApprovalDesk::Seat ApprovalDesk::take(Claim& claim, const std::string& fingerprint, uint32_t address,
                                      int64_t& seats, std::function<void()> gaveWay) {
  Seat seat = Seat::taken;
  {
    std::lock_guard lock(mutex_);
    const uint64_t now = now_();
    seats = static_cast<int64_t>(entries_.size());
    for (const auto& [id, e] : entries_) {
      if (e.withdrawn) continue;
      if (e.fingerprint == fingerprint) seat = Seat::alreadyWaiting;
      if (e.address == address && seat == Seat::taken) seat = Seat::addressWaiting;
    }
    Budget& mine = budget(address, now);
    const auto level = static_cast<int64_t>(std::floor(mine.questions - 1));
    if (seat != Seat::taken) {
      // One question per device and per address at a time.
    } else if (mine.questions < 1) {
      seat = Seat::tooOften;
    } else if (seats >= 1 + rules_.maxWaiting) {
      auto lowest = entries_.end();
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.up) continue;
        if (lowest == entries_.end() || std::tuple(it->second.level, it->second.seatedNs) <
                                            std::tuple(lowest->second.level, lowest->second.seatedNs)) {
          lowest = it;
        }
      }
      if (lowest == entries_.end() || lowest->second.level > level) {
        seat = Seat::full;
      } else {
        {
          std::lock_guard boxLock(lowest->second.box->lock);
          lowest->second.box->displaced = true;
        }
        lowest->second.box->sem.signal();
        if (lowest->second.gaveWay) lowest->second.gaveWay();
        entries_.erase(lowest);
        ++unshown_;
        changed_.notify_all();
      }
    }
    if (seat == Seat::taken) {
      mine.questions -= 1;
      claim.seat = nextSeat_++;
      claim.fingerprint = fingerprint;
      claim.box = std::make_shared<Box>();
      Entry& entry = entries_[claim.seat];
      entry.fingerprint = fingerprint;
      entry.address = address;
      entry.level = level;
      entry.seatedNs = now;
      entry.box = claim.box;
      entry.gaveWay = std::move(gaveWay);
    } else {
      ++unshown_;
    }
  }
  if (unshownHook_ && seat != Seat::taken) unshownHook_();
  return seat;
}

bool ApprovalDesk::ask(Claim& claim, Approve approve, const std::string& sas, const std::string& name,
                       std::function<void()> shown, const StartThread& startThread, std::string& error) {
  auto request = std::make_shared<Request>();
  request->approve = std::move(approve);
  request->sas = sas;
  request->fingerprint = claim.fingerprint;
  request->name = name;
  request->shown = std::move(shown);
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(claim.seat);
  if (it == entries_.end()) {
    error = "its seat went to a newer question";
    return false;
  }
  it->second.request = std::move(request);
  it->second.handedInNs = now_();
  changed_.notify_all();
  if (asking_) return true;
  try {
    NamedThread asker = startThread("lumenrail-pair-approve", [desk = self_.lock()] { serve(desk); });
    asker.detach();  // it ends once nothing is handed in
    asking_ = true;
    return true;
  } catch (const std::exception& e) {
    entries_.erase(it);
    claim.seat = 0;
    error = e.what();
    return false;
  }
}

void ApprovalDesk::waitFor(Box& box, uint64_t deadlineNs) const {
  for (;;) {
    const uint64_t now = now_();
    if (now >= deadlineNs) return;
    if (box.sem.waitFor(std::min(deadlineNs - now, kClockLookNs))) return;
  }
}

bool ApprovalDesk::withdraw(Claim& claim, const CancelApprove& cancel, bool promptly) {
  const auto box = std::move(claim.box);
  const uint64_t seat = std::exchange(claim.seat, 0);
  if (seat == 0 || !box) return false;
  bool up = false;
  bool unshown = false;
  {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(seat);
    if (it != entries_.end()) {
      if (it->second.up) {
        it->second.withdrawn = true;  // the asking thread gives the seat back
        up = true;
      } else {
        entries_.erase(it);
        ++unshown_;
        unshown = true;
        changed_.notify_all();
      }
    }
  }
  if (unshown && unshownHook_) unshownHook_();
  if (!up) return false;
  uint64_t shownNs;
  {
    std::lock_guard lock(box->lock);
    shownNs = box->shownNs;
  }
  // A sheet that just went up is not taken down at once: the screen changes
  // at most once an interval. The owner's answer ends the wait.
  if (!promptly) waitFor(*box, shownNs + rules_.sheetIntervalNs);
  // Under the box's lock, so the answer cannot land in between.
  std::lock_guard lock(box->lock);
  if (box->answered) return false;
  if (cancel) cancel(claim.fingerprint);
  return true;
}

int64_t ApprovalDesk::seats() const {
  std::lock_guard lock(mutex_);
  return static_cast<int64_t>(entries_.size());
}

}  // namespace lumenrail
