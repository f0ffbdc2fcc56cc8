#pragma once

#include "app/panel/PanelPresenter.hpp"
#include "ui/style/HostStyle.hpp"

namespace lumenrail {

// The palette colour behind a presenter tone.
inline DynamicColor panelToneColor(PanelTone tone) {
  switch (tone) {
    case PanelTone::dim: return HostStyle::dynamic(HostStyle::Role::textDim);
    case PanelTone::warn: return HostStyle::dynamic(HostStyle::Role::warn);
    case PanelTone::ok: return HostStyle::dynamic(HostStyle::Role::ok);
    case PanelTone::accent: return HostStyle::dynamic(HostStyle::Role::accent);
  }
  return HostStyle::dynamic(HostStyle::Role::textDim);
}

}  // namespace lumenrail
