#include "desktop/gnome/GnomePenTablet.hpp"

#include "input/UinputInputSink.hpp"

namespace lumenrail {

GnomePenTablet::GnomePenTablet(std::shared_ptr<UinputInputSink> tablet, std::unique_ptr<GnomeTabletMapping> mapping,
                               Log::Sink log)
    : tablet_(std::move(tablet)), mapping_(std::move(mapping)), log_(std::move(log)) {}

GnomePenTablet::~GnomePenTablet() {
  tablet_.reset();  // the lift goes out before the mapping changes under it
  mapping_.reset();
}

bool GnomePenTablet::post(const InputEvent& event, Rect monitor, const GnomeTabletMapping::Output& output) {
  std::lock_guard guard(lock_);
  if (mappedTo_ != output) {
    mapping_->mapTo(output);
    mappedTo_ = output;
    if (log_) log_("uinput tablet mapped to the streamed monitor (" + output.vendor + " " + output.product + " " + output.serial + ")");
  }
  if (area_ != monitor) {
    tablet_->setArea(monitor);
    area_ = monitor;
  }
  return tablet_->post(event);
}

}  // namespace lumenrail
