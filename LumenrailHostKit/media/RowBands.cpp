#include "media/RowBands.hpp"

#include <algorithm>

namespace lumenrail {

RowBands::RowBands(int count) {
  for (int band = 1; band < count; ++band) helpers_.emplace_back([this, band] { serve(band); });
}

RowBands::~RowBands() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : helpers_) t.join();
}

int RowBands::bandsFor(int64_t rows) {
  const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
  return int(std::clamp<int64_t>(std::min<int64_t>(cores, rows / 64), 1, 4));
}

void RowBands::runWith(void (*call)(void*, int), void* job) {
  if (helpers_.empty()) {
    call(job, 0);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    call_ = call;
    job_ = job;
    pending_ = int(helpers_.size());
    ++generation_;
  }
  wake_.notify_all();
  call(job, 0);
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return pending_ == 0; });
}

void RowBands::serve(int band) {
  uint64_t seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    auto* call = call_;
    void* job = job_;
    lock.unlock();
    call(job, band);
    lock.lock();
    if (--pending_ == 0) done_.notify_one();
  }
}

}  // namespace lumenrail
