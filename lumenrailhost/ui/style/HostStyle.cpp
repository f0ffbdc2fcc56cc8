#include "ui/style/HostStyle.hpp"

#include "ui/style/AppIcon.hpp"

namespace lumenrail {

namespace {

QColor rgb(uint32_t word) { return QColor((word >> 16) & 0xFF, (word >> 8) & 0xFF, word & 0xFF); }

using HostStyle::Role;

// The table of the palette; accent and ok are filled in by `color`.
DynamicColor dynamicOf(Role role) {
  switch (role) {
    case Role::bg: return {0x151218, 0xFCF4FC, 1.0, std::nullopt};
    case Role::bgRaised: return {0x1F1C22, 0xFFFFFF, 1.0, std::nullopt};
    case Role::bgInset: return {0x100D12, 0xF3ECF4, 1.0, std::nullopt};
    case Role::line: return {0x322C39, 0xE7DCEE, 1.0, std::nullopt};
    case Role::lineSoft: return {0x262328, 0xF0E9F1, 1.0, std::nullopt};
    case Role::text: return {0xF6EEF6, 0x1F1C22, 1.0, std::nullopt};
    case Role::textDim: return {0xA69DAE, 0x6D6574, 1.0, std::nullopt};
    case Role::textFaint: return {0x776F7F, 0x9E95A6, 0.5, std::nullopt};
    case Role::accent: return BrandTheme::kAccent;
    case Role::accentInk: return {0x450086, 0xFFFFFF, 1.0, std::nullopt};
    case Role::warn: return {0xFFC107, 0xA06800, 1.0, std::nullopt};
    case Role::warnBg: return {0xFFC107, 0xFFC107, 0.08, 0.13};
    // The desktop's "system green": the same two values the palette's peers use.
    case Role::ok: return {0x30D158, 0x34C759, 1.0, std::nullopt};
  }
  return {};
}

}  // namespace

QColor DynamicColor::resolve(AppearanceKind kind) const {
  const bool isDark = kind == AppearanceKind::dark;
  QColor c = rgb(isDark ? dark : light);
  c.setAlphaF(static_cast<float>(isDark ? alpha : lightAlpha.value_or(alpha)));
  return c;
}

DynamicColor HostStyle::dynamic(Role role) { return dynamicOf(role); }

QColor HostStyle::color(Role role, AppearanceKind kind) { return dynamicOf(role).resolve(kind); }

QColor BrandTheme::accent(AppearanceKind kind) { return kAccent.resolve(kind); }

QColor BrandTheme::controlTint() { return rgb(kControlTint); }

std::array<QColor, 5> BrandTheme::spectrum() {
  std::array<QColor, 5> out;
  for (size_t i = 0; i < kSpectrum.size(); ++i) out[i] = rgb(kSpectrum[i]);
  return out;
}

std::optional<QIcon> BrandTheme::appIcon() { return AppIcon::icon(); }

}  // namespace lumenrail
