#pragma once

// DNS-SD publication through the Avahi daemon: a threaded poll owns the
// client and the entry group; calls from other threads take the poll's lock.

#include <memory>
#include <string>

#include "links/ServicePublisher.hpp"

struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiEntryGroup;

namespace lumenrail {

class AvahiPublisher final : public ServicePublisher {
 public:
  // Never null: without a daemon the client waits for one to appear, and a
  // setup failure is reported through the listener once publish() is called.
  static std::unique_ptr<ServicePublisher> create(Listener listener);
  ~AvahiPublisher() override;
  AvahiPublisher(const AvahiPublisher&) = delete;
  AvahiPublisher& operator=(const AvahiPublisher&) = delete;

  void publish(const std::string& name, const std::string& type, const std::string& domain, uint16_t port,
               const TxtRecord& txt) override;
  void updateTxt(const TxtRecord& txt) override;
  void stop() override;

 private:
  explicit AvahiPublisher(Listener listener);

  struct Callbacks;  // Avahi's C callbacks
  friend struct Callbacks;

  // The rest run with the poll's lock held (or on the poll thread).
  void addService(AvahiClient* client);
  void fail(const std::string& what);

  Listener listener_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::string setupError_;
  bool running_ = false;  // the client reported its server running
  bool wanted_ = false;   // publish() was called
  std::string name_, type_, domain_;
  uint16_t port_ = 0;
  TxtRecord txt_;
};

}  // namespace lumenrail
