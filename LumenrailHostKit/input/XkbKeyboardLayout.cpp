#include "input/XkbKeyboardLayout.hpp"

#include <xcb/xcb.h>
// The XKB protocol header names a field `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <linux/input-event-codes.h>

#include "input/InputEvent.hpp"
#include "input/MacKeyCodes.hpp"
#include "platform/CReply.hpp"
#include "platform/X11Display.hpp"

namespace lumenrail::XkbKeyboardLayout {

namespace {

struct ContextDeleter {
  void operator()(xkb_context* c) const { xkb_context_unref(c); }
};
struct KeymapDeleter {
  void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
};
struct StateDeleter {
  void operator()(xkb_state* s) const { xkb_state_unref(s); }
};
using Context = std::unique_ptr<xkb_context, ContextDeleter>;
using Keymap = std::unique_ptr<xkb_keymap, KeymapDeleter>;
using State = std::unique_ptr<xkb_state, StateDeleter>;

Context newContext() { return Context(xkb_context_new(XKB_CONTEXT_NO_FLAGS)); }

Keymap keymapFromNames(xkb_context* context, const std::string& layout, const std::string& variant,
                       const std::string& model, const std::string& rules, const std::string& options) {
  xkb_rule_names names{};
  names.rules = rules.empty() ? nullptr : rules.c_str();
  names.model = model.empty() ? nullptr : model.c_str();
  names.layout = layout.empty() ? nullptr : layout.c_str();
  names.variant = variant.empty() ? nullptr : variant.c_str();
  names.options = options.empty() ? nullptr : options.c_str();
  return Keymap(xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
}

KeyboardLayoutMap::Dictionary translateAll(xkb_keymap* keymap, uint32_t group, bool control) {
  State state(xkb_state_new(keymap));
  if (!state) return {};
  xkb_mod_mask_t mods = 0;
  if (control) {
    const xkb_mod_index_t ctrl = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_CTRL);
    if (ctrl != XKB_MOD_INVALID) mods = xkb_mod_mask_t{1} << ctrl;
  }
  xkb_state_update_mask(state.get(), mods, 0, 0, 0, 0, group);
  return KeyboardLayoutMap::reverse([&](uint16_t position) -> std::optional<std::u32string> {
    const std::optional<uint16_t> evdev = MacKeyCodes::toEvdev(position);
    if (!evdev) return std::nullopt;
    const xkb_keysym_t sym = xkb_state_key_get_one_sym(state.get(), *evdev + 8);
    if (sym == XKB_KEY_NoSymbol) return std::nullopt;
    // Keysyms rather than the state's text: Control would turn letters into
    // control characters there, while the key still types the letter.
    const uint32_t cp = xkb_keysym_to_utf32(xkb_keysym_to_lower(sym));
    if (cp == 0) return std::nullopt;  // dead keys and function keys
    return std::u32string(1, static_cast<char32_t>(cp));
  });
}

// The modifier mask that holding one key sets, and whether that key is what
// the layout's keysym names it (AltGr must be ISO_Level3_Shift, not Alt).
std::optional<xkb_mod_mask_t> maskOfKey(xkb_keymap* keymap, uint32_t group, uint16_t evdev, xkb_keysym_t expected) {
  State state(xkb_state_new(keymap));
  if (!state) return std::nullopt;
  xkb_state_update_mask(state.get(), 0, 0, 0, 0, 0, group);
  if (xkb_state_key_get_one_sym(state.get(), evdev + 8) != expected) return std::nullopt;
  xkb_state_update_key(state.get(), evdev + 8, XKB_KEY_DOWN);
  const xkb_mod_mask_t mask = xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_EFFECTIVE);
  if (mask == 0) return std::nullopt;
  return mask;
}

// What the upper levels of the keys type, with the Shift and AltGr
// combination that reaches each level; lower levels and lower positions win.
KeyboardLayoutMap::StrokeDictionary translateModified(xkb_keymap* keymap, uint32_t group,
                                                      const KeyboardLayoutMap::Dictionary& plain) {
  const std::optional<xkb_mod_mask_t> shift = maskOfKey(keymap, group, KEY_LEFTSHIFT, XKB_KEY_Shift_L);
  const std::optional<xkb_mod_mask_t> altGr = maskOfKey(keymap, group, KEY_RIGHTALT, XKB_KEY_ISO_Level3_Shift);
  const auto flagsFor = [&](xkb_mod_mask_t mask) -> std::optional<uint64_t> {
    for (const bool withShift : {false, true}) {
      for (const bool withAltGr : {false, true}) {
        if ((withShift && !shift) || (withAltGr && !altGr)) continue;
        const xkb_mod_mask_t reached = (withShift ? *shift : 0) | (withAltGr ? *altGr : 0);
        if (reached == mask) {
          return (withShift ? ModifierFlag::shift : 0) | (withAltGr ? ModifierFlag::altGraph : 0);
        }
      }
    }
    return std::nullopt;
  };
  KeyboardLayoutMap::StrokeDictionary out;
  for (xkb_level_index_t level = 1; level < 4; ++level) {
    for (uint16_t position = KeyboardLayoutMap::firstKeyCode; position <= KeyboardLayoutMap::lastKeyCode; ++position) {
      const std::optional<uint16_t> evdev = MacKeyCodes::toEvdev(position);
      if (!evdev) continue;
      const xkb_keycode_t key = *evdev + 8;
      if (level >= xkb_keymap_num_levels_for_key(keymap, key, group)) continue;
      const xkb_keysym_t* syms = nullptr;
      if (xkb_keymap_key_get_syms_by_level(keymap, key, group, level, &syms) != 1) continue;
      const char32_t c = static_cast<char32_t>(xkb_keysym_to_utf32(syms[0]));
      if (c == 0 || plain.contains(c) || out.contains(c)) continue;
      xkb_mod_mask_t masks[8];
      const size_t count = xkb_keymap_key_get_mods_for_level(keymap, key, group, level, masks, std::size(masks));
      for (size_t i = 0; i < count; ++i) {
        if (const std::optional<uint64_t> flags = flagsFor(masks[i])) {
          out.emplace(c, KeyboardLayoutMap::Stroke{position, *flags});
          break;
        }
      }
    }
  }
  return out;
}

class NamedSource final : public KeyboardLayoutSource {
 public:
  NamedSource(std::string layout, std::string variant) : layout_(std::move(layout)), variant_(std::move(variant)) {}
  std::optional<KeyboardLayoutMap> current() override { return mapFromNames(layout_, variant_); }
  bool changed() override { return false; }
  bool watches() const override { return false; }

 private:
  std::string layout_;
  std::string variant_;
};

// The server's keyboard through XKB: NewKeyboardNotify and MapNotify mean a
// new keymap, a StateNotify with a group change means another layout of it.
class X11Source final : public KeyboardLayoutSource {
 public:
  explicit X11Source(const std::string& display) {
    conn_ = X11Connections::connect(display, nullptr);
    if (xcb_connection_has_error(conn_)) return;
    uint8_t event = 0;
    if (!xkb_x11_setup_xkb_extension(conn_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &event, nullptr)) {
      return;
    }
    xkbEvent_ = event;
    device_ = xkb_x11_get_core_keyboard_device_id(conn_);
    if (device_ < 0) return;
    const uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY |
                            XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
    const uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS |
                              XCB_XKB_MAP_PART_MODIFIER_MAP;
    xcb_void_cookie_t cookie = xcb_xkb_select_events_checked(
        conn_, static_cast<xcb_xkb_device_spec_t>(device_), events, 0, events, mapParts, mapParts, nullptr);
    if (ownReply(xcb_request_check(conn_, cookie))) return;
    ready_ = true;
  }

  ~X11Source() override {
    X11Connections::disconnect(conn_);
  }

  std::optional<KeyboardLayoutMap> current() override {
    if (!ready_) return mapFromNames("", "");
    Context context = newContext();
    if (!context) return std::nullopt;
    Keymap keymap(xkb_x11_keymap_new_from_device(context.get(), conn_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) return std::nullopt;
    State state(xkb_x11_state_new_from_device(keymap.get(), conn_, device_));
    const uint32_t group = state ? xkb_state_serialize_layout(state.get(), XKB_STATE_LAYOUT_EFFECTIVE) : 0;
    return mapFromKeymap(keymap.get(), group);
  }

  bool changed() override {
    if (!ready_) return false;
    bool changed = false;
    while (const auto event = ownReply(xcb_poll_for_event(conn_))) {
      if ((event->response_type & 0x7f) == xkbEvent_) {
        // Every XKB event shares this header; its xkbType tells them apart.
        const auto* any = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event.get());
        switch (any->xkbType) {
          case XCB_XKB_NEW_KEYBOARD_NOTIFY:
          case XCB_XKB_MAP_NOTIFY:
            changed = true;
            break;
          case XCB_XKB_STATE_NOTIFY:
            if (any->changed & XCB_XKB_STATE_PART_GROUP_STATE) changed = true;
            break;
          default:
            break;
        }
      }
    }
    return changed;
  }

  bool watches() const override { return ready_; }

 private:
  xcb_connection_t* conn_ = nullptr;
  int32_t device_ = -1;
  uint8_t xkbEvent_ = 0;
  bool ready_ = false;
};

}  // namespace

std::optional<KeyboardLayoutMap> mapFromKeymap(xkb_keymap* keymap, uint32_t group) {
  if (!keymap) return std::nullopt;
  if (group >= xkb_keymap_num_layouts(keymap)) group = 0;
  KeyboardLayoutMap::Dictionary plain = translateAll(keymap, group, false);
  if (plain.empty()) return std::nullopt;
  KeyboardLayoutMap::StrokeDictionary modified = translateModified(keymap, group, plain);
  KeyboardLayoutMap map(std::move(plain), translateAll(keymap, group, true));
  map.modified = std::move(modified);
  return map;
}

std::optional<KeyboardLayoutMap> mapFromNames(const std::string& layout, const std::string& variant,
                                              const std::string& model, const std::string& rules,
                                              const std::string& options) {
  Context context = newContext();
  if (!context) return std::nullopt;
  Keymap keymap = keymapFromNames(context.get(), layout, variant, model, rules, options);
  return mapFromKeymap(keymap.get(), 0);
}

std::unique_ptr<KeyboardLayoutSource> namedSource(std::string layout, std::string variant) {
  return std::make_unique<NamedSource>(std::move(layout), std::move(variant));
}

std::unique_ptr<KeyboardLayoutSource> desktopSource(const std::string& display) {
  return std::make_unique<X11Source>(display);
}

}  // namespace lumenrail::XkbKeyboardLayout
