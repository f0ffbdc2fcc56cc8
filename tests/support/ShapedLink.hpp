#pragma once

// A congested link made by the kernel: two network namespaces of this
// process's own joined by a veth pair, the host's end sending through a
// token-bucket qdisc (tc tbf). Neither end is the machine's own namespace, so
// nothing outside the test sees the link, and it is gone with the object (the
// namespaces live only as long as their descriptors; the veth goes with them).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lumenrail::test {

class ShapedLink final {
 public:
  struct Shape {
    int64_t rateBitsPerSecond = 2'000'000;
    int64_t burstBytes = 32 * 1024;
    int64_t queueLatencyMs = 400;  // what the bucket queues before it drops
    std::string congestion;  // the host end's TCP congestion control; empty: the machine's
  };

  // The host's end and the client's end of the link.
  static constexpr const char* hostAddress = "10.77.0.1";
  static constexpr const char* clientAddress = "10.77.0.2";

  // Nothing, with the reason in `whyNot`, where namespaces, veth or tbf cannot
  // be had (not root, no CAP_NET_ADMIN, no `ip` or `tc`).
  static std::unique_ptr<ShapedLink> make(const Shape& shape, std::string& whyNot);
  ~ShapedLink();
  ShapedLink(const ShapedLink&) = delete;
  ShapedLink& operator=(const ShapedLink&) = delete;

  // Runs `work` on a thread inside the host's (client's) namespace and waits
  // for it. Sockets made there belong to that namespace whichever thread uses
  // them later; threads started there inherit it.
  void onHostSide(const std::function<void()>& work) const { inNamespace(hostNs_, work); }
  void onClientSide(const std::function<void()>& work) const { inNamespace(clientNs_, work); }

  // A TCP connection from the client's end to the host's end; -1 on failure.
  int connectClient(uint16_t port) const;
  // One from inside the host's namespace, which the bucket does not slow: a fast client.
  int connectFast(uint16_t port) const;
  const Shape& shape() const { return shape_; }

 private:
  ShapedLink() = default;
  static void inNamespace(int nsFd, const std::function<void()>& work);
  static int connectTo(uint16_t port);
  // Runs a command inside a namespace; its output is kept for the reason of a failure.
  bool run(int nsFd, const std::vector<std::string>& argv, std::string& output) const;

  int hostNs_ = -1;
  int clientNs_ = -1;
  Shape shape_;
};

}  // namespace lumenrail::test
