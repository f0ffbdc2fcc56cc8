#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "media/PixelBuffer.hpp"
#include "media/PixelBufferPool.hpp"
#include "media/PlaneScaler.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

struct FitScratch;

// Turns a grabbed BGRX picture into a buffer of the capture's own pool, at
// the stream's size and pixel format: the one copy between capture and
// encoder. A picture whose aspect ratio differs from the stream's is scaled
// to fit and centred between black bars (fitPicture), never stretched.
// Colours are converted with the BT.709 matrix (Bt709Converter). A frame
// that finds no free buffer (16 copies still held downstream) is dropped and
// reported at most once a second. 4:2:0 pictures are converted in row bands
// on a few helper threads, started with the first frame. One thread at a
// time; after the first frame of a size, a frame allocates nothing of its own.
class CaptureFrameCopier final {
 public:
  // Copies held downstream before new frames are dropped.
  static constexpr int64_t kAllocationThreshold = 16;

  // `log` defaults to standard output.
  CaptureFrameCopier(int64_t width, int64_t height, PixelFormat format, NowNs nowNs, Log::Sink log = {});
  ~CaptureFrameCopier();
  CaptureFrameCopier(const CaptureFrameCopier&) = delete;
  CaptureFrameCopier& operator=(const CaptureFrameCopier&) = delete;

  // Nothing when the frame was dropped. `bgrx` holds `height` rows of
  // `width` pixels, `bytesPerRow` apart; the fourth byte is ignored.
  PixelBufferRef copy(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height);

  uint64_t dropCount() const { return dropCount_; }

 private:
  void noteDrop();

  int64_t width_;
  int64_t height_;
  PixelFormat format_;
  NowNs nowNs_;
  Log::Sink log_;
  std::shared_ptr<PixelBufferPool> pool_;
  std::unique_ptr<FitScratch> fit_;  // row bands and their scratch
  PlaneScaler bgraScaler_;
  uint64_t dropCount_ = 0;
  std::optional<uint64_t> lastDropLogNs_;
};

// Converts once, outside any pool (one-shot screenshots); nothing on failure.
PixelBufferRef convertBgrx(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height, int64_t outWidth,
                           int64_t outHeight, PixelFormat format);

}  // namespace lumenrail
