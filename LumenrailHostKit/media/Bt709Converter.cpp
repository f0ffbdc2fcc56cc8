#include "media/Bt709Converter.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LUMENRAIL_BT709_AVX2 1
#include <immintrin.h>
#endif

namespace lumenrail::Bt709Converter {

namespace {

// Fixed point, 15 fractional bits: 8-bit samples times these stay well
// inside 32 bits (chroma works on sums of four samples), and the rounding
// error is far below half a step, so results are the rounded exact values.
struct Coefficients {
  int16_t yb, yr, yg;
  int32_t yBias;  // offset and rounding, already shifted
  int16_t ub, ur, ug;
  int16_t vb, vr, vg;
};

// The luma bias in units of this, so that it fits a 16-bit weight.
constexpr int32_t kBiasUnit = 32;

constexpr int16_t q15(double x) { return static_cast<int16_t>(x * 32768.0 + (x >= 0 ? 0.5 : -0.5)); }

constexpr Coefficients make(bool full) {
  constexpr double kr = 0.2126;
  constexpr double kb = 0.0722;
  const double ys = full ? 1.0 : 219.0 / 255.0;
  const double cs = full ? 1.0 : 224.0 / 255.0;
  Coefficients c{};
  c.yr = q15(kr * ys);
  c.yb = q15(kb * ys);
  // The green weight takes the remainder, so white lands exactly on 255 (235).
  c.yg = static_cast<int16_t>(static_cast<int32_t>(ys * 32768.0 + 0.5) - c.yr - c.yb);
  c.yBias = ((full ? 0 : 16) << 15) + (1 << 14);
  c.ub = q15(0.5 * cs);
  c.ur = q15(-kr / (2 * (1 - kb)) * cs);
  // Chroma weights sum to zero, so every grey has neutral chroma exactly.
  c.ug = static_cast<int16_t>(-(c.ub + c.ur));
  c.vr = q15(0.5 * cs);
  c.vb = q15(-kb / (2 * (1 - kr)) * cs);
  c.vg = static_cast<int16_t>(-(c.vr + c.vb));
  return c;
}

constexpr Coefficients kFull = make(true);
constexpr Coefficients kVideo = make(false);
static_assert(kFull.yBias % kBiasUnit == 0 && kFull.yBias / kBiasUnit < 32768);
static_assert(kVideo.yBias % kBiasUnit == 0 && kVideo.yBias / kBiasUnit < 32768);

inline uint8_t clamp8(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

inline uint8_t luma(const uint8_t* p, const Coefficients& c) {
  return clamp8((c.yb * p[0] + c.yg * p[1] + c.yr * p[2] + c.yBias) >> 15);
}

// From sums of four samples: two more fractional bits.
inline uint8_t chroma(int32_t b, int32_t g, int32_t r, int16_t cb, int16_t cg, int16_t cr) {
  return clamp8(((cb * b + cg * g + cr * r + (1 << 16)) >> 17) + 128);
}

// One pair of rows from column `from` (even) to the end. `s1` and `y1` may
// equal `s0` and `y0` for an odd last row.
void rowPairPlain(const uint8_t* s0, const uint8_t* s1, int64_t from, int64_t width, uint8_t* y0, uint8_t* y1,
                  uint8_t* cb, uint8_t* cr, int64_t chromaStep, const Coefficients& c) {
  for (int64_t x = from; x < width; ++x) {
    y0[x] = luma(s0 + x * 4, c);
    y1[x] = luma(s1 + x * 4, c);
  }
  for (int64_t x = from; x < width; x += 2) {
    const int64_t right = x + 1 < width ? x + 1 : x;
    const uint8_t* p[4] = {s0 + x * 4, s0 + right * 4, s1 + x * 4, s1 + right * 4};
    int32_t sum[3] = {0, 0, 0};
    for (const uint8_t* q : p) {
      for (int i = 0; i < 3; ++i) sum[i] += q[i];
    }
    const int64_t at = x / 2 * chromaStep;
    cb[at] = chroma(sum[0], sum[1], sum[2], c.ub, c.ug, c.ur);
    cr[at] = chroma(sum[0], sum[1], sum[2], c.vb, c.vg, c.vr);
  }
}

#ifdef LUMENRAIL_BT709_AVX2

// Four vectors of 32-bit values (0..255 after saturation) as 32 bytes in order.
__attribute__((target("avx2"), always_inline)) inline __m256i packBytes(const __m256i (&d)[4], __m256i order) {
  const __m256i w01 = _mm256_packus_epi32(d[0], d[1]);
  const __m256i w23 = _mm256_packus_epi32(d[2], d[3]);
  // Packing works within 128-bit lanes; `order` puts the dwords back in sequence.
  return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w01, w23), order);
}

// 32 pixels of two rows per step. Each pixel is split into the 16-bit pairs
// (B, R) and (G, X) so one multiply-add per pair gives its weighted sum.
// Everything stays exact in 32 bits, so the bytes equal the plain kernel's.
template <bool kInterleaved>
__attribute__((target("avx2"))) void rowPairAvx2(const uint8_t* s0, const uint8_t* s1, int64_t steps, uint8_t* y0,
                                                 uint8_t* y1, uint8_t* cb, uint8_t* cr, const Coefficients& c) {
  const __m256i byteMask = _mm256_set1_epi32(0x00FF00FF);
  const __m256i yLo = _mm256_set1_epi32(int32_t(uint16_t(c.yb)) | (int32_t(c.yr) << 16));
  // The undefined X is replaced by a constant whose weight adds the bias, so
  // one multiply-add per pair does the whole sum.
  const __m256i biasWord = _mm256_set1_epi32(kBiasUnit << 16);
  const __m256i yHi = _mm256_set1_epi32(int32_t(uint16_t(c.yg)) | ((c.yBias / kBiasUnit) << 16));
  const __m256i uLo = _mm256_set1_epi32(int32_t(uint16_t(c.ub)) | (int32_t(c.ur) << 16));
  // The (G, bias) pairs carry a constant where X was: weight 0 for chroma.
  const __m256i uHi = _mm256_set1_epi32(int32_t(uint16_t(c.ug)));
  const __m256i vLo = _mm256_set1_epi32(int32_t(uint16_t(c.vb)) | (int32_t(c.vr) << 16));
  const __m256i vHi = _mm256_set1_epi32(int32_t(uint16_t(c.vg)));
  // Rounding, and the 128 offset as a whole multiple of the divisor.
  const __m256i cRound = _mm256_set1_epi32((1 << 16) + (128 << 17));
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  // Chroma bytes come as Cb Cb Cr Cr per two blocks. NV12 interleaves
  // them; I420 takes, per lane, the eight Cb bytes and then the eight Cr.
  const __m256i interleave = _mm256_setr_epi8(0, 2, 1, 3, 4, 6, 5, 7, 8, 10, 9, 11, 12, 14, 13, 15, 0, 2, 1, 3, 4, 6,
                                              5, 7, 8, 10, 9, 11, 12, 14, 13, 15);
  const __m256i split = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15, 0, 1, 4, 5, 8, 9, 12,
                                         13, 2, 3, 6, 7, 10, 11, 14, 15);

  for (int64_t step = 0; step < steps; ++step) {
    __m256i lumaRow0[4];
    __m256i lumaRow1[4];
    __m256i pairs[4];
    for (int k = 0; k < 4; ++k) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s0 + k * 32));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s1 + k * 32));
      const __m256i aLo = _mm256_and_si256(a, byteMask);
      const __m256i aHi = _mm256_blend_epi16(_mm256_srli_epi16(a, 8), biasWord, 0xAA);
      const __m256i bLo = _mm256_and_si256(b, byteMask);
      const __m256i bHi = _mm256_blend_epi16(_mm256_srli_epi16(b, 8), biasWord, 0xAA);
      lumaRow0[k] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(aLo, yLo), _mm256_madd_epi16(aHi, yHi)), 15);
      lumaRow1[k] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(bLo, yLo), _mm256_madd_epi16(bHi, yHi)), 15);
      // Vertical sums weighted per pixel, then each pixel plus its right
      // neighbour: per lane Cb, Cb, Cr, Cr of two 2x2 blocks.
      const __m256i lo = _mm256_add_epi16(aLo, bLo);
      const __m256i hi = _mm256_add_epi16(aHi, bHi);
      const __m256i u = _mm256_add_epi32(_mm256_madd_epi16(lo, uLo), _mm256_madd_epi16(hi, uHi));
      const __m256i v = _mm256_add_epi32(_mm256_madd_epi16(lo, vLo), _mm256_madd_epi16(hi, vHi));
      const __m256i uv = _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(u, v), cRound), 17);
      pairs[k] = uv;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y0), packBytes(lumaRow0, order));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y1), packBytes(lumaRow1, order));
    const __m256i cbcr = packBytes(pairs, order);
    if constexpr (kInterleaved) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(cb), _mm256_shuffle_epi8(cbcr, interleave));
      cb += 32;
    } else {
      const __m256i grouped = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(cbcr, split), 0xD8);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cb), _mm256_castsi256_si128(grouped));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cr), _mm256_extracti128_si256(grouped, 1));
      cb += 16;
      cr += 16;
    }
    s0 += 128;
    s1 += 128;
    y0 += 32;
    y1 += 32;
  }
}

// GCC 12's own AVX-512 header seeds results with a deliberately undefined
// value, which its flow analysis then reports about our code.
#pragma GCC diagnostic push
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#pragma GCC diagnostic ignored "-Wuninitialized"

__attribute__((target("avx512f,avx512bw"), always_inline)) inline __m512i packBytes512(const __m512i (&d)[4],
                                                                                      __m512i order) {
  const __m512i w01 = _mm512_packus_epi32(d[0], d[1]);
  const __m512i w23 = _mm512_packus_epi32(d[2], d[3]);
  return _mm512_permutexvar_epi32(order, _mm512_packus_epi16(w01, w23));
}

// The same arithmetic 64 pixels at a time. There is no horizontal add here:
// each block's sums are gathered into its even dword (Cb) and odd dword (Cr),
// which is already the NV12 order.
template <bool kInterleaved>
__attribute__((target("avx512f,avx512bw"))) void rowPairAvx512(const uint8_t* s0, const uint8_t* s1, int64_t steps,
                                                                uint8_t* y0, uint8_t* y1, uint8_t* cb, uint8_t* cr,
                                                                const Coefficients& c) {
  const __m512i byteMask = _mm512_set1_epi32(0x00FF00FF);
  const __m512i yLo = _mm512_set1_epi32(int32_t(uint16_t(c.yb)) | (int32_t(c.yr) << 16));
  const __m512i biasWord = _mm512_set1_epi32(kBiasUnit << 16);
  const __m512i yHi = _mm512_set1_epi32(int32_t(uint16_t(c.yg)) | ((c.yBias / kBiasUnit) << 16));
  const __m512i uLo = _mm512_set1_epi32(int32_t(uint16_t(c.ub)) | (int32_t(c.ur) << 16));
  const __m512i uHi = _mm512_set1_epi32(int32_t(uint16_t(c.ug)));
  const __m512i vLo = _mm512_set1_epi32(int32_t(uint16_t(c.vb)) | (int32_t(c.vr) << 16));
  const __m512i vHi = _mm512_set1_epi32(int32_t(uint16_t(c.vg)));
  const __m512i cRound = _mm512_set1_epi32((1 << 16) + (128 << 17));
  const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const __m512i split = _mm512_set_epi8(15, 13, 11, 9, 7, 5, 3, 1, 14, 12, 10, 8, 6, 4, 2, 0,  //
                                        15, 13, 11, 9, 7, 5, 3, 1, 14, 12, 10, 8, 6, 4, 2, 0,  //
                                        15, 13, 11, 9, 7, 5, 3, 1, 14, 12, 10, 8, 6, 4, 2, 0,  //
                                        15, 13, 11, 9, 7, 5, 3, 1, 14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i gather = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
  for (int64_t step = 0; step < steps; ++step) {
    __m512i lumaRow0[4];
    __m512i lumaRow1[4];
    __m512i pairs[4];
    for (int k = 0; k < 4; ++k) {
      const __m512i a = _mm512_loadu_si512(s0 + k * 64);
      const __m512i b = _mm512_loadu_si512(s1 + k * 64);
      const __m512i aLo = _mm512_and_si512(a, byteMask);
      const __m512i aHi = _mm512_mask_blend_epi16(0xAAAAAAAA, _mm512_srli_epi16(a, 8), biasWord);
      const __m512i bLo = _mm512_and_si512(b, byteMask);
      const __m512i bHi = _mm512_mask_blend_epi16(0xAAAAAAAA, _mm512_srli_epi16(b, 8), biasWord);
      lumaRow0[k] = _mm512_srai_epi32(_mm512_add_epi32(_mm512_madd_epi16(aLo, yLo), _mm512_madd_epi16(aHi, yHi)), 15);
      lumaRow1[k] = _mm512_srai_epi32(_mm512_add_epi32(_mm512_madd_epi16(bLo, yLo), _mm512_madd_epi16(bHi, yHi)), 15);
      const __m512i lo = _mm512_add_epi16(aLo, bLo);
      const __m512i hi = _mm512_add_epi16(aHi, bHi);
      const __m512i u = _mm512_add_epi32(_mm512_madd_epi16(lo, uLo), _mm512_madd_epi16(hi, uHi));
      const __m512i v = _mm512_add_epi32(_mm512_madd_epi16(lo, vLo), _mm512_madd_epi16(hi, vHi));
      const __m512i uEven = _mm512_add_epi32(u, _mm512_srli_epi64(u, 32));
      const __m512i vOdd = _mm512_add_epi32(v, _mm512_slli_epi64(v, 32));
      const __m512i uv = _mm512_mask_blend_epi32(0xAAAA, uEven, vOdd);
      pairs[k] = _mm512_srai_epi32(_mm512_add_epi32(uv, cRound), 17);
    }
    _mm512_storeu_si512(y0, packBytes512(lumaRow0, order));
    _mm512_storeu_si512(y1, packBytes512(lumaRow1, order));
    const __m512i cbcr = packBytes512(pairs, order);
    if constexpr (kInterleaved) {
      _mm512_storeu_si512(cb, cbcr);
      cb += 64;
    } else {
      const __m512i grouped = _mm512_permutexvar_epi64(gather, _mm512_shuffle_epi8(cbcr, split));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(cb), _mm512_castsi512_si256(grouped));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(cr), _mm512_extracti64x4_epi64(grouped, 1));
      cb += 32;
      cr += 32;
    }
    s0 += 256;
    s1 += 256;
    y0 += 64;
    y1 += 64;
  }
}

#pragma GCC diagnostic pop

#endif

bool runsHere(Kernel kernel) {
#ifdef LUMENRAIL_BT709_AVX2
  switch (kernel) {
    case Kernel::plain:
      return true;
    case Kernel::avx2:
      return __builtin_cpu_supports("avx2");
    case Kernel::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  }
  return false;
#else
  return kernel == Kernel::plain;
#endif
}

void convert(const uint8_t* bgrx, int64_t bgrxStride, int64_t width, int64_t height, uint8_t* y, int64_t yStride,
             uint8_t* cb, int64_t cbStride, uint8_t* cr, int64_t crStride, bool interleaved, Range range,
             Kernel kernel) {
  if (bgrx == nullptr || width < 1 || height < 1) return;
  if (!runsHere(kernel)) kernel = Kernel::plain;
  const Coefficients& c = range == Range::full ? kFull : kVideo;
  const int64_t chromaStep = interleaved ? 2 : 1;
  const int64_t stepPixels = kernel == Kernel::avx512 ? 64 : 32;
  const int64_t steps = kernel == Kernel::plain ? 0 : width / stepPixels;
  const int64_t vectorWidth = steps * stepPixels;
  for (int64_t row = 0; row < height; row += 2) {
    const bool pair = row + 1 < height;
    const uint8_t* s0 = bgrx + row * bgrxStride;
    const uint8_t* s1 = pair ? s0 + bgrxStride : s0;
    uint8_t* y0 = y + row * yStride;
    uint8_t* y1 = pair ? y0 + yStride : y0;
    uint8_t* rowCb = cb + row / 2 * cbStride;
    uint8_t* rowCr = cr + row / 2 * crStride;
#ifdef LUMENRAIL_BT709_AVX2
    if (steps > 0 && kernel == Kernel::avx512) {
      if (interleaved) {
        rowPairAvx512<true>(s0, s1, steps, y0, y1, rowCb, nullptr, c);
      } else {
        rowPairAvx512<false>(s0, s1, steps, y0, y1, rowCb, rowCr, c);
      }
    } else if (steps > 0) {
      if (interleaved) {
        rowPairAvx2<true>(s0, s1, steps, y0, y1, rowCb, nullptr, c);
      } else {
        rowPairAvx2<false>(s0, s1, steps, y0, y1, rowCb, rowCr, c);
      }
    }
#endif
    if (vectorWidth < width) {
      rowPairPlain(s0, s1, vectorWidth, width, y0, y1, rowCb, rowCr, chromaStep, c);
    }
  }
}

}  // namespace

void toNv12(const uint8_t* bgrx, int64_t bgrxStride, int64_t width, int64_t height, uint8_t* y, int64_t yStride,
            uint8_t* cbcr, int64_t cbcrStride, Range range, Kernel kernel) {
  convert(bgrx, bgrxStride, width, height, y, yStride, cbcr, cbcrStride, cbcr + 1, cbcrStride, true, range, kernel);
}

void toI420(const uint8_t* bgrx, int64_t bgrxStride, int64_t width, int64_t height, uint8_t* y, int64_t yStride,
            uint8_t* cb, int64_t cbStride, uint8_t* cr, int64_t crStride, Range range, Kernel kernel) {
  convert(bgrx, bgrxStride, width, height, y, yStride, cb, cbStride, cr, crStride, false, range, kernel);
}

bool runs(Kernel kernel) { return runsHere(kernel); }

Kernel bestKernel() {
  static const Kernel best =
      runsHere(Kernel::avx512) ? Kernel::avx512 : (runsHere(Kernel::avx2) ? Kernel::avx2 : Kernel::plain);
  return best;
}

const char* kernelName(Kernel kernel) {
  switch (kernel) {
    case Kernel::plain:
      return "plain";
    case Kernel::avx2:
      return "AVX2";
    case Kernel::avx512:
      return "AVX-512";
  }
  return "?";
}

}  // namespace lumenrail::Bt709Converter
