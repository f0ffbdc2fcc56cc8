#pragma once

#include <cstdint>

namespace lumenrail {

// BGRX (bytes B, G, R, X; X ignored) to 4:2:0 with the BT.709 matrix: the
// colours the stream signals. Full range puts black at 0 and white at 255;
// video range at 16 and 235. Chroma is taken from the mean of each 2x2
// block; an odd last column or row counts twice. Single-threaded. Every
// kernel gives the same bytes; by default the fastest the processor runs.
namespace Bt709Converter {

enum class Range : uint8_t { full, video };
enum class Kernel : uint8_t { plain, avx2, avx512 };

// Whether this processor runs `kernel`; one it does not run falls back to plain.
bool runs(Kernel kernel);
Kernel bestKernel();
const char* kernelName(Kernel kernel);

// Interleaved CbCr plane at half size.
void toNv12(const uint8_t* bgrx, int64_t bgrxStride, int64_t width, int64_t height, uint8_t* y, int64_t yStride,
            uint8_t* cbcr, int64_t cbcrStride, Range range = Range::full, Kernel kernel = bestKernel());

// Separate Cb and Cr planes at half size.
void toI420(const uint8_t* bgrx, int64_t bgrxStride, int64_t width, int64_t height, uint8_t* y, int64_t yStride,
            uint8_t* cb, int64_t cbStride, uint8_t* cr, int64_t crStride, Range range = Range::full,
            Kernel kernel = bestKernel());

}  // namespace Bt709Converter

}  // namespace lumenrail
