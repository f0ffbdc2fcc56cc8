// Frame fan-out to loopback clients: a 1080p-sized access unit (about 60 KB)
// broadcast to 1, 4 and 16 clients, each read whole by its own thread.
// Figures: frames per second each client receives when the host sends as fast
// as the slowest client takes them, and the whole process's CPU per frame
// (server writers included).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "wire/WireServer.hpp"

namespace {

using namespace lumenrail;

double processCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool readExact(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t k = ::recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= size_t(k);
  }
  return true;
}

struct Receivers {
  std::mutex m;
  std::condition_variable cv;
  std::vector<int64_t> frames;
  std::vector<std::thread> threads;
  std::vector<int> fds;

  void start(uint16_t port, int count) {
    frames.assign(size_t(count), 0);
    for (int i = 0; i < count; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
      fds.push_back(fd);
      threads.emplace_back([this, fd, i] {
        std::vector<uint8_t> payload;
        uint8_t header[5];
        while (readExact(fd, header, 5)) {
          const uint32_t len = uint32_t(header[1]) | uint32_t(header[2]) << 8 | uint32_t(header[3]) << 16 |
                               uint32_t(header[4]) << 24;
          payload.resize(len);
          if (!readExact(fd, payload.data(), len)) break;
          if (header[0] == 0x03) {
            std::lock_guard lock(m);
            ++frames[size_t(i)];
            cv.notify_all();
          }
        }
      });
    }
  }

  void waitAll(int64_t n) {
    std::unique_lock lock(m);
    cv.wait(lock, [&] {
      for (int64_t f : frames) {
        if (f < n) return false;
      }
      return true;
    });
  }

  void stop() {
    for (int fd : fds) ::shutdown(fd, SHUT_RDWR);
    for (auto& t : threads) t.join();
    for (int fd : fds) ::close(fd);
  }
};

void BM_FanOut(benchmark::State& state) {
  const int clients = int(state.range(0));
  WireServer::Config config;
  config.port = 0;
  config.hello.width = 1920;
  config.hello.height = 1080;
  auto server = WireServer::create(config);
  std::atomic<int> connected{0};
  WireServer::Hooks hooks;
  hooks.onClientConnected = [&] { ++connected; };
  server->setHooks(std::move(hooks));
  server->start();
  Receivers rx;
  rx.start(server->boundPort(), clients);
  while (connected.load() < clients) std::this_thread::yield();

  std::vector<uint8_t> au(60'000);
  for (size_t i = 0; i < au.size(); ++i) au[i] = uint8_t(i * 13);
  int64_t sent = 0;
  server->broadcast(uint64_t(++sent), true, au);  // the keyframe that opens every queue
  rx.waitAll(sent);

  const double cpuBefore = processCpuSeconds();
  for (auto _ : state) {
    server->broadcast(uint64_t(++sent), false, au);
    rx.waitAll(sent);
  }
  const double cpu = processCpuSeconds() - cpuBefore;
  state.counters["frames/s per client"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["process CPU ms/frame"] = cpu * 1000.0 / double(state.iterations());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(au.size()) * clients);
  server->stop();
  rx.stop();
}
BENCHMARK(BM_FanOut)->Arg(1)->Arg(4)->Arg(16)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
