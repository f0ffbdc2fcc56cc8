#include "desktop/gnome/GnomeKeyboardLayout.hpp"

#include "desktop/gnome/GnomeInputSources.hpp"
#include "input/XkbKeyboardLayout.hpp"

namespace lumenrail::GnomeKeyboardLayout {

namespace {

// GNOME Shell gives Mutter the keymap of the input source in use; the source
// is followed through GSettings, re-read at each look (a few reads of the
// settings backend's memory).
class GnomeSource final : public KeyboardLayoutSource {
 public:
  explicit GnomeSource(std::unique_ptr<GnomeInputSources::Watch> watch) : watch_(std::move(watch)) {
    seen_ = watch_->active();
  }
  std::optional<KeyboardLayoutMap> current() override {
    seen_ = watch_->active();
    if (!seen_) return XkbKeyboardLayout::mapFromNames("", "");
    return XkbKeyboardLayout::mapFromNames(seen_->layout, seen_->variant, "", "", seen_->options);
  }
  bool changed() override {
    watch_->pump();
    return watch_->active() != seen_;
  }
  bool watches() const override { return true; }

 private:
  std::unique_ptr<GnomeInputSources::Watch> watch_;
  std::optional<GnomeInputSources::XkbLayout> seen_;
};

}  // namespace

std::unique_ptr<KeyboardLayoutSource> source() {
  std::unique_ptr<GnomeInputSources::Watch> watch = GnomeInputSources::Watch::open();
  if (!watch) return XkbKeyboardLayout::namedSource("");  // the library's defaults
  return std::make_unique<GnomeSource>(std::move(watch));
}

}  // namespace lumenrail::GnomeKeyboardLayout
