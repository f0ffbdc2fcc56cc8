#pragma once

#include <cstdint>

namespace lumenrail {

// BGRX (bytes B, G, R, X; X ignored) to 4:2:0 with the BT.709 matrix: the
// colours the stream signals. Full range puts black at 0 and white at 255;
// video range at 16 and 235. Chroma is taken from the mean of each 2x2
// block; an odd last column or row counts twice. Single-threaded; the
// vector kernel runs where the processor has AVX2, the plain one elsewhere
// gives the same bytes.
namespace Bt709Converter {

enum class Range : uint8_t { full, video };

// Interleaved CbCr plane at half size.
void toNv12(const uint8_t* bgrx, int64_t bgrxStride, int64_t width, int64_t height, uint8_t* y, int64_t yStride,
            uint8_t* cbcr, int64_t cbcrStride, Range range = Range::full);

// Separate Cb and Cr planes at half size.
void toI420(const uint8_t* bgrx, int64_t bgrxStride, int64_t width, int64_t height, uint8_t* y, int64_t yStride,
            uint8_t* cb, int64_t cbStride, uint8_t* cr, int64_t crStride, Range range = Range::full);

// Whether the vector kernel is in use on this processor.
bool vectorised();

}  // namespace Bt709Converter

}  // namespace lumenrail
