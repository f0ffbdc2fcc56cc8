#pragma once

#include <cstdint>
#include <memory>

#include "media/PixelBuffer.hpp"
#include "media/PixelBufferPool.hpp"
#include "media/PlaneScaler.hpp"
#include "media/ViewportGeometry.hpp"

namespace lumenrail {

// Cuts a rectangle out of a frame and scales it to the stream size, so the
// client gets its zoomed region at full resolution. The source is read in
// place through offset plane pointers (delivered buffers are never written,
// so no scratch copy is needed). One thread at a time.
class ViewportCropper final {
 public:
  static constexpr int64_t kAllocationThreshold = 8;

  ViewportCropper() = default;
  ViewportCropper(const ViewportCropper&) = delete;
  ViewportCropper& operator=(const ViewportCropper&) = delete;

  // The rectangle is clipped to the frame; on NV12 its origin is taken down
  // to even so the chroma samples line up. Nothing for an empty rectangle,
  // a size that is not positive, an exhausted pool or a failed scale.
  PixelBufferRef crop(const PixelBufferRef& source, const PixelRect& rect, int64_t outW, int64_t outH);

 private:
  PlaneScaler scaler_;
  std::shared_ptr<PixelBufferPool> pool_;
};

}  // namespace lumenrail
