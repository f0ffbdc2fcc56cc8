#include "text/DeviceKindText.hpp"

#include "text/L10n.hpp"

namespace lumenrail::DeviceKindText {

std::optional<std::string> label(PairingProtocol::DeviceKind kind) {
  using Kind = PairingProtocol::DeviceKind;
  switch (kind) {
    case Kind::unknown: return std::nullopt;
    case Kind::android: return L10n::shared().lookup("device.kind.android");
    case Kind::androidTv: return L10n::shared().lookup("device.kind.androidTv");
    case Kind::iPhone: return L10n::shared().lookup("device.kind.iPhone");
    case Kind::iPad: return L10n::shared().lookup("device.kind.iPad");
    case Kind::appleTv: return L10n::shared().lookup("device.kind.appleTv");
  }
  return std::nullopt;
}

}  // namespace lumenrail::DeviceKindText
