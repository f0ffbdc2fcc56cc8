#include "app/windows/QrCode.hpp"

#include <qrencode.h>

#include <memory>

namespace lumenrail::QrCode {

std::optional<Matrix> encode(std::string_view text) {
  if (text.empty()) return std::nullopt;
  // Version 0 lets the library pick the smallest version that holds the data.
  std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeData(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0,
                        QR_ECLEVEL_M),
      &QRcode_free);
  if (!code || code->width <= 0) return std::nullopt;
  Matrix matrix;
  matrix.size = code->width;
  matrix.dark.resize(static_cast<size_t>(code->width) * code->width);
  for (size_t i = 0; i < matrix.dark.size(); ++i) matrix.dark[i] = code->data[i] & 1;
  return matrix;
}

}  // namespace lumenrail::QrCode
