#pragma once

// An advertiser that announces nothing, for sessions the tests reach directly.
#include <cstdint>
#include <string>

#include "links/ServicePublisher.hpp"

namespace lumenrail::test {

class QuietPublisher final : public ServicePublisher {
 public:
  void publish(const std::string&, const std::string&, const std::string&, uint16_t, const TxtRecord&) override {}
  void updateTxt(const TxtRecord&) override {}
  void stop() override {}
};

}  // namespace lumenrail::test
