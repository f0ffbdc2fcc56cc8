#include "media/RowBands.hpp"

#include <algorithm>

namespace lumenrail {

namespace {

constexpr int kMaxThreads = 4;

int threadsFor(int bands) {
  const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
  return std::clamp(std::min(cores, kMaxThreads), 1, std::max(1, bands));
}

}  // namespace

RowBands::RowBands(int count) : count_(std::max(1, count)) {
  for (int i = 1; i < threadsFor(count_); ++i) helpers_.emplace_back([this] { serve(); });
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
  const int threads = std::min(int(std::max(1u, std::thread::hardware_concurrency())), kMaxThreads);
  return int(std::clamp<int64_t>(std::min<int64_t>(2 * threads, rows / 32), 1, 2 * kMaxThreads));
}

void RowBands::take(std::unique_lock<std::mutex>& lock, uint64_t generation) {
  // A helper woken after its run ended must not take bands of the next with the old job.
  while (generation_ == generation && next_ < count_) {
    const int band = next_++;
    auto* call = call_;
    void* job = job_;
    lock.unlock();
    call(job, band);
    lock.lock();
    if (++finished_ == count_) done_.notify_one();
  }
}

void RowBands::runWith(void (*call)(void*, int), void* job) {
  if (helpers_.empty()) {
    for (int band = 0; band < count_; ++band) call(job, band);
    return;
  }
  std::unique_lock lock(mutex_);
  call_ = call;
  job_ = job;
  next_ = 0;
  finished_ = 0;
  const uint64_t generation = ++generation_;
  wake_.notify_all();
  take(lock, generation);
  done_.wait(lock, [this] { return finished_ == count_; });
}

void RowBands::serve() {
  uint64_t seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    take(lock, seen);
  }
}

}  // namespace lumenrail
