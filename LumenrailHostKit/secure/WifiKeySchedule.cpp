#include "secure/WifiKeySchedule.hpp"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Crypto.hpp"
#include "platform/Log.hpp"

namespace lumenrail::WifiKeySchedule {

namespace {

constexpr std::string_view saltQrPsk = "tile/wlan/kdfx/v1";
constexpr std::string_view saltPaired = "tile/wlan/bond/v1";
constexpr std::string_view infoC2H = "tile wifi key c2h v1";
constexpr std::string_view infoH2C = "tile wifi key h2c v1";

ByteView bytesOf(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Keys deriveFrom(ByteView inputKeyMaterial, Role role, Flavor flavor) {
  const ByteView salt = bytesOf(flavor == Flavor::paired ? saltPaired : saltQrPsk);
  SymmetricKey c2h = Crypto::hkdfSha256(inputKeyMaterial, salt, bytesOf(infoC2H), keyLen);
  SymmetricKey h2c = Crypto::hkdfSha256(inputKeyMaterial, salt, bytesOf(infoH2C), keyLen);
  if (role == Role::host) return Keys{std::move(h2c), std::move(c2h)};
  return Keys{std::move(c2h), std::move(h2c)};
}

}  // namespace

Keys derive(ByteView psk, Role role, Flavor flavor) {
  if (psk.empty()) throw std::invalid_argument("WifiKeySchedule::derive: empty pre-shared key");
  return deriveFrom(psk, role, flavor);
}

Keys derive(const SymmetricKey& root, Role role, Flavor flavor) {
  if (root.empty()) throw std::invalid_argument("WifiKeySchedule::derive: empty root key");
  return deriveFrom(root.bytes(), role, flavor);
}

Bytes randomPsk(int64_t byteCount) {
  if (byteCount < 0) {
    Log::lineTo(2, "ERROR: randomPsk asked for " + std::to_string(byteCount) + " bytes; stopping");
    std::abort();
  }
  return Crypto::randomBytes(static_cast<size_t>(byteCount));
}

}  // namespace lumenrail::WifiKeySchedule
