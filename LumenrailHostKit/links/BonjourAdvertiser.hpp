#pragma once

// Publishes the host as "_lumenrail._tcp." in "local." on the wire server's
// port, with a TXT record of the base entries the session gives, the busy
// flag and the host's LAN IPv4 addresses (re-read every 5 s).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "links/ServicePublisher.hpp"
#include "platform/Log.hpp"
#include "platform/SerialQueue.hpp"

namespace lumenrail {

class BonjourAdvertiser final : public std::enable_shared_from_this<BonjourAdvertiser> {
 public:
  static constexpr std::string_view serviceType = "_lumenrail._tcp.";
  static constexpr std::string_view domain = "local.";
  static constexpr int schemaVersion = 1;
  // DNS-SD instance names are one DNS label.
  static constexpr size_t maxInstanceNameBytes = 63;

  // TXT keys.
  struct Txt {
    static constexpr const char* schema = "v";
    static constexpr const char* protoVer = "pv";
    static constexpr const char* encRequired = "enc";
    static constexpr const char* caps = "caps";
    static constexpr const char* os = "os";
    static constexpr const char* fingerprint = "fp";
    static constexpr const char* busy = "busy";
    static constexpr const char* ip4 = "ip4";
  };

  // One interface's IPv4 state: the Linux stand-in for a network service.
  struct ServiceIPv4 {
    std::string id;  // interface name
    std::vector<std::string> addresses;
    bool hasRouter = false;  // carries a default route
    bool operator==(const ServiceIPv4&) const = default;
  };

  // Timers and the publisher's callbacks hold the advertiser weakly.
  static std::shared_ptr<BonjourAdvertiser> create(std::optional<std::string> name, uint16_t port);
  ~BonjourAdvertiser();
  BonjourAdvertiser(const BonjourAdvertiser&) = delete;
  BonjourAdvertiser& operator=(const BonjourAdvertiser&) = delete;

  // Set before start(), never changed while running.
  Log::Sink onEvent;
  PublisherFactory publisherFactory;                           // Avahi by default
  std::function<std::vector<std::string>()> addressSource;     // lanIPv4 by default
  uint64_t refreshIntervalNs = 5'000'000'000;

  // Replaces a running advertisement. start() and stop() are serialised, so
  // two of them racing never leave a second or an orphaned advertisement.
  void start(const TxtRecord& txt);
  // Withdraws the service and waits for the advertiser thread; safe when nothing runs.
  void stop();
  // Safe from any thread (the wire server's connection threads call it).
  void setBusy(bool busy);

  const std::string& name() const { return name_; }
  uint16_t port() const { return port_.load(); }
  // The port the next start() advertises.
  void setPort(uint16_t port) { port_ = port; }

  // The computer's pretty name, else the host name, else "Lumenrail Host".
  static std::string defaultName();
  // name + " (xxxx)" with a 16-bit hash of the fingerprint, the name cut at a
  // UTF-8 boundary so the whole fits one DNS label.
  static std::string instanceName(std::string_view name, const std::optional<std::string>& fingerprint);
  // Addresses of the services with a router, the primary first, then by id;
  // no link-local address, no repeat.
  static std::vector<std::string> lanAddresses(std::vector<ServiceIPv4> services,
                                               const std::optional<std::string>& primary);
  static std::vector<std::string> lanIPv4();

 private:
  BonjourAdvertiser(std::string name, uint16_t port);

  void stopLocked();  // with lifecycleMutex_
  void run(uint64_t generation);
  void refreshAddresses();
  void pushTxtLocked();  // with mutex_
  TxtRecord txtLocked() const;
  void report(const std::string& line) const;

  const std::string name_;
  std::atomic<uint16_t> port_;

  std::mutex lifecycleMutex_;  // start/stop, held across the whole of each

  // Where the publisher's outcomes go: the current queue, or nowhere once
  // stop() has closed it, so stop() owns the queue alone and its join is final.
  struct Outbox {
    std::mutex mutex;
    SerialQueue* queue = nullptr;
    void post(SerialQueue::Task task);
    void close();
  };

  mutable std::mutex mutex_;  // everything below; never held while Avahi calls back
  std::unique_ptr<SerialQueue> queue_;  // the advertiser thread, "lumenrail-bonjour"
  std::shared_ptr<Outbox> outbox_;
  std::unique_ptr<ServicePublisher> publisher_;
  bool published_ = false;  // publish() was called on publisher_
  uint64_t generation_ = 0;
  SerialQueue::Timer refreshTimer_;
  TxtRecord baseTxt_;
  bool busy_ = false;
  std::vector<std::string> advertisedIPv4_;
};

}  // namespace lumenrail
