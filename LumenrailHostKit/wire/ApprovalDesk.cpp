#include "wire/ApprovalDesk.hpp"

#include <algorithm>

namespace lumenrail {

ApprovalDesk::ApprovalDesk(int64_t maxWaiting) : maxWaiting_(maxWaiting) {}

std::shared_ptr<ApprovalDesk> ApprovalDesk::create(int64_t maxWaiting) {
  std::shared_ptr<ApprovalDesk> desk(new ApprovalDesk(maxWaiting));
  desk->self_ = desk;
  return desk;
}

void ApprovalDesk::serve(const std::shared_ptr<ApprovalDesk>& desk) {
  for (;;) {
    std::shared_ptr<Request> r;
    {
      std::lock_guard lock(desk->mutex_);
      if (desk->queue_.empty()) {
        desk->asking_ = false;
        return;
      }
      r = std::move(desk->queue_.front());
      desk->queue_.pop_front();
      std::lock_guard boxLock(r->box->lock);
      r->box->asking = true;
    }
    bool allowed = false;
    try {
      allowed = r->approve && r->approve(r->sas, r->fingerprint, r->name);
    } catch (...) {
      allowed = false;  // an approver that fails refuses
    }
    {
      std::lock_guard lock(r->box->lock);
      r->box->decision = allowed;
      r->box->answered = true;
    }
    r->box->sem.signal();
    std::lock_guard lock(desk->mutex_);
    --desk->seats_;
  }
}

ApprovalDesk::Seat ApprovalDesk::take(Claim& claim, const std::string& fingerprint, uint32_t address,
                                      int64_t& seats) {
  std::lock_guard lock(mutex_);
  seats = seats_;
  if (waiting_.count(fingerprint)) return Seat::alreadyWaiting;
  if (addresses_.count(address)) return Seat::addressWaiting;
  if (seats_ >= 1 + maxWaiting_) return Seat::full;
  ++seats_;
  waiting_.insert(fingerprint);
  addresses_.insert(address);
  claim.fingerprint = fingerprint;
  claim.address = address;
  claim.waiting = true;
  claim.seatHeld = true;
  return Seat::taken;
}

bool ApprovalDesk::ask(Claim& claim, Approve approve, const std::string& sas, const std::string& name,
                       const StartThread& startThread, std::string& error) {
  claim.box = std::make_shared<Box>();
  auto request = std::make_shared<Request>();
  request->approve = std::move(approve);
  request->sas = sas;
  request->fingerprint = claim.fingerprint;
  request->name = name;
  request->box = claim.box;
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(request));
  claim.seatHeld = false;  // handed in: the queue or the asking thread gives it back
  if (asking_) return true;
  try {
    NamedThread asker = startThread("lumenrail-pair-approve", [desk = self_.lock()] { serve(desk); });
    asker.detach();  // it ends once the queue is empty
    asking_ = true;
    return true;
  } catch (const std::exception& e) {
    queue_.pop_back();
    --seats_;
    claim.box.reset();
    error = e.what();
    return false;
  }
}

bool ApprovalDesk::withdraw(Claim& claim, const CancelApprove& cancel) {
  const bool open = claim.box != nullptr;
  bool unasked = false;
  {
    std::lock_guard lock(mutex_);
    if (claim.seatHeld) {
      --seats_;  // never handed in
      claim.seatHeld = false;
    } else if (claim.box) {
      const auto it =
          std::find_if(queue_.begin(), queue_.end(), [&](const auto& r) { return r->box == claim.box; });
      if (it != queue_.end()) {
        queue_.erase(it);
        --seats_;
        unasked = true;
      }
    }
  }
  if (claim.box && !unasked) {
    // Under the box's lock, so the answer cannot land in between: a question
    // that is up is dismissed.
    std::lock_guard lock(claim.box->lock);
    claim.box->abandoned = true;
    if (claim.box->asking && !claim.box->answered && cancel) cancel(claim.fingerprint);
  }
  if (claim.waiting) {
    std::lock_guard lock(mutex_);
    waiting_.erase(claim.fingerprint);
    addresses_.erase(claim.address);
    claim.waiting = false;
  }
  claim.box.reset();  // a late answer lands in the asking thread's copy
  return open;
}

int64_t ApprovalDesk::seats() const {
  std::lock_guard lock(mutex_);
  return seats_;
}

}  // namespace lumenrail
