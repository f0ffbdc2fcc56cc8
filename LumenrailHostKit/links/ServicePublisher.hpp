#pragma once

// What the Bonjour advertiser needs of a DNS-SD stack: publish one service,
// replace its TXT record, withdraw it. The advertiser's rules live above this
// line; Avahi (or a test's fake) below it.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace lumenrail {

// TXT entries by key; every value is sent as its UTF-8 bytes.
using TxtRecord = std::map<std::string, std::string>;

class ServicePublisher {
 public:
  // Outcomes arrive on the stack's own thread; a listener must not block on
  // anything that may be waiting for this publisher.
  struct Listener {
    std::function<void(const std::string& name)> published;  // the name actually registered
    std::function<void(const std::string& error)> failed;
  };

  virtual ~ServicePublisher() = default;
  // Called once; `type` and `domain` are fully qualified ("_x._tcp.", "local.").
  virtual void publish(const std::string& name, const std::string& type, const std::string& domain, uint16_t port,
                       const TxtRecord& txt) = 0;
  // Safe from any thread.
  virtual void updateTxt(const TxtRecord& txt) = 0;
  // Withdraws the service; no listener call starts after this returns.
  virtual void stop() = 0;
};

using PublisherFactory = std::function<std::unique_ptr<ServicePublisher>(ServicePublisher::Listener)>;

}  // namespace lumenrail
