#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "desktop/gnome/GnomeTabletMapping.hpp"
#include "input/Geometry.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

class UinputInputSink;
struct InputEvent;

// The pen as a uinput tablet on GNOME: the compositor spreads a tablet over
// the monitor its settings name, so each stroke first maps the device to the
// streamed monitor (when that changed) and spreads the axes over that
// monitor's area. Pressure, tilt and the eraser reach applications this way.
class GnomePenTablet {
 public:
  GnomePenTablet(std::shared_ptr<UinputInputSink> tablet, std::unique_ptr<GnomeTabletMapping> mapping,
                 Log::Sink log = nullptr);
  // Lifts the pen, then gives the device its own mapping back.
  ~GnomePenTablet();
  GnomePenTablet(const GnomePenTablet&) = delete;
  GnomePenTablet& operator=(const GnomePenTablet&) = delete;

  // `monitor`: the streamed monitor's area of the desktop and its settings name.
  bool post(const InputEvent& event, Rect monitor, const GnomeTabletMapping::Output& output);

 private:
  std::mutex lock_;
  std::shared_ptr<UinputInputSink> tablet_;
  std::unique_ptr<GnomeTabletMapping> mapping_;
  const Log::Sink log_;
  std::optional<GnomeTabletMapping::Output> mappedTo_;
  std::optional<Rect> area_;
};

}  // namespace lumenrail
