#pragma once

// What the clients ask of the shared stream: audio (and in which form), HEVC
// and encoder settings. Each client's wishes are recorded on its ClientConn;
// an instance merges them over one snapshot of the registered clients.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "wire/ClientConn.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

class ClientWishes final {
 public:
  explicit ClientWishes(std::vector<std::shared_ptr<ClientConn>> clients);

  bool audio() const;
  bool audioPcm() const;
  bool audioAac() const;
  // Only clients that declared their caps count; with none, no HEVC.
  bool hevc() const;
  // Each knob that some client sets, at the highest value asked for.
  Wire::EncoderConfigRequest encoderConfig() const;

  struct CapsUpdate {
    bool hevcChanged = false;  // new or changed for this client: the HEVC merge is announced
    std::string line;
  };
  // A forced AAC overrides the client's PCM bit.
  static CapsUpdate recordCaps(ClientConn& conn, uint32_t bits, bool forceAac);
  // The line, or nothing when the client asked for exactly this already.
  static std::optional<std::string> recordEncoderConfig(ClientConn& conn, const Wire::EncoderConfigRequest& request);

  // The merges a departing client was part of, announced again once it is gone.
  struct Departure {
    bool audio = false;
    bool hevc = false;
    bool encoder = false;
  };
  static Departure departure(const ClientConn& conn);

 private:
  template <class Pred>
  bool any(Pred pred) const;

  std::vector<std::shared_ptr<ClientConn>> clients_;
};

}  // namespace lumenrail
