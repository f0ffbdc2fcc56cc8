#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace lumenrail {

// Runs one job over a few bands of a picture at once: the calling thread
// takes band 0, helper threads (started with the object, joined with it)
// the others. A frame's conversion then costs a fraction of one core's
// time in latency. One caller at a time; a run allocates nothing.
class RowBands final {
 public:
  // `count` bands in all, at least one; a count of one starts no thread.
  explicit RowBands(int count);
  ~RowBands();
  RowBands(const RowBands&) = delete;
  RowBands& operator=(const RowBands&) = delete;

  int count() const { return int(helpers_.size()) + 1; }

  // Returns when `job(band)` has returned for every band.
  template <typename Job>
  void run(Job& job) {
    runWith([](void* j, int band) { (*static_cast<Job*>(j))(band); }, &job);
  }

  // Bands for a picture of `rows` rows: one per helper core, up to four,
  // and none thinner than 64 rows.
  static int bandsFor(int64_t rows);

 private:
  void runWith(void (*call)(void*, int), void* job);
  void serve(int band);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  void (*call_)(void*, int) = nullptr;
  void* job_ = nullptr;
  uint64_t generation_ = 0;
  int pending_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace lumenrail
