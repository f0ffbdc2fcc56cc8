#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace lumenrail {

// Runs one job over the row bands of a picture on a few threads at once:
// the caller and helper threads (started with the object, joined with it)
// take bands until none is left, so a helper that a busy machine wakes late
// only leaves its share to the others. A frame's conversion then costs a
// fraction of one core's time in latency, and never more than one core's.
// One caller at a time; a run allocates nothing.
class RowBands final {
 public:
  // `count` bands, at least one; a count of one starts no thread.
  explicit RowBands(int count);
  ~RowBands();
  RowBands(const RowBands&) = delete;
  RowBands& operator=(const RowBands&) = delete;

  int count() const { return count_; }

  // Returns when `job(band)` has returned for every band.
  template <typename Job>
  void run(Job& job) {
    runWith([](void* j, int band) { (*static_cast<Job*>(j))(band); }, &job);
  }

  // Bands for a picture of `rows` rows: two per thread, on up to four
  // threads, none thinner than 32 rows.
  static int bandsFor(int64_t rows);

 private:
  void runWith(void (*call)(void*, int), void* job);
  // Runs bands of run `generation` while there are any; the lock is held on entry and exit.
  void take(std::unique_lock<std::mutex>& lock, uint64_t generation);
  void serve();

  const int count_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  void (*call_)(void*, int) = nullptr;
  void* job_ = nullptr;
  uint64_t generation_ = 0;
  int next_ = 0;
  int finished_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace lumenrail
