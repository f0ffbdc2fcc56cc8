#pragma once

// The palette every window draws with: named colours with a dark and a
// light value, resolved against the process's appearance each time they
// are read, so a switch of appearance recolours what draws next.

#include <array>
#include <cstdint>
#include <optional>

#include <QColor>
#include <QIcon>

#include "ui/style/Appearance.hpp"

namespace lumenrail {

// sRGB words 0xRRGGBB with an opacity; `lightAlpha` replaces `alpha` in the
// light appearance when given.
struct DynamicColor {
  uint32_t dark = 0;
  uint32_t light = 0;
  double alpha = 1.0;
  std::optional<double> lightAlpha;

  QColor resolve(AppearanceKind kind) const;
  bool operator==(const DynamicColor&) const = default;
};

namespace HostStyle {

enum class Role { bg, bgRaised, bgInset, line, lineSoft, text, textDim, textFaint, accent, accentInk, warn, warnBg, ok };

// The role's two values, for components that take colours from callers.
DynamicColor dynamic(Role role);
QColor color(Role role, AppearanceKind kind);
inline QColor color(Role role) { return color(role, Appearance::current()); }

inline QColor bg() { return color(Role::bg); }
inline QColor bgRaised() { return color(Role::bgRaised); }
inline QColor bgInset() { return color(Role::bgInset); }
inline QColor line() { return color(Role::line); }
inline QColor lineSoft() { return color(Role::lineSoft); }
inline QColor text() { return color(Role::text); }
inline QColor textDim() { return color(Role::textDim); }
inline QColor textFaint() { return color(Role::textFaint); }
inline QColor accent() { return color(Role::accent); }
inline QColor accentInk() { return color(Role::accentInk); }
inline QColor warn() { return color(Role::warn); }
inline QColor warnBg() { return color(Role::warnBg); }
inline QColor ok() { return color(Role::ok); }

}  // namespace HostStyle

namespace BrandTheme {

// "LumenrailAccent": lilac in the dark appearance, violet in the light one.
inline constexpr DynamicColor kAccent{0xD8B9FF, 0x783CC4, 1.0, std::nullopt};
// The fill of prominent buttons, the same in both appearances.
inline constexpr uint32_t kControlTint = 0x783CC4;
inline constexpr std::array<uint32_t, 5> kSpectrum = {0x1B8FCC, 0x2F5ED6, 0x7438C0, 0xDE2F84, 0xF08A3E};

QColor accent(AppearanceKind kind);
inline QColor accent() { return accent(Appearance::current()); }
QColor controlTint();
std::array<QColor, 5> spectrum();

// The application's icon; compiled in, so it is there installed or not.
std::optional<QIcon> appIcon();

}  // namespace BrandTheme

}  // namespace lumenrail
