#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace lumenrail {

// Maps one tablet device to one monitor through GNOME's setting for that
// device (org.gnome.desktop.peripherals.tablet "output" under
// /org/gnome/desktop/peripherals/tablets/VVVV:PPPP/), which the compositor
// follows as it changes. What the device had before is put back when this
// object goes, so the user's own mapping survives a session.
class GnomeTabletMapping {
 public:
  // A monitor as the setting names it: by its EDID.
  struct Output {
    std::string vendor;
    std::string product;
    std::string serial;
    bool operator==(const Output&) const = default;
  };
  // The session's settings, or a store in memory that nothing else sees.
  enum class Store : uint8_t { session, memory };

  // Nothing (the reason in `why`) when GNOME's peripherals schema is not installed.
  static std::unique_ptr<GnomeTabletMapping> open(uint16_t vendorId, uint16_t productId, std::string* why = nullptr,
                                                  Store store = Store::session);
  static std::string pathFor(uint16_t vendorId, uint16_t productId);

  ~GnomeTabletMapping();
  GnomeTabletMapping(const GnomeTabletMapping&) = delete;
  GnomeTabletMapping& operator=(const GnomeTabletMapping&) = delete;

  void mapTo(const Output& output);
  Output current() const;
  // Puts back what the device had at open().
  void restore();

 private:
  struct Impl;
  explicit GnomeTabletMapping(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumenrail
