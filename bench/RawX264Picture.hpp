#pragma once

// A captured frame as the raw encoding library takes it, for the benchmarks
// that put the library beside the host's own encoder.

#include <cstdint>

#include "media/H264Parameters.hpp"  // the library's header, as the encoder includes it
#include "media/PixelBuffer.hpp"

namespace lumenrail {

// `idr` forces a keyframe.
inline x264_picture_t rawX264Picture(const PixelBufferRef& f, int64_t pts, bool idr) {
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_NV12;
  in.img.i_plane = 2;
  for (int p = 0; p < 2; ++p) {
    in.img.plane[p] = f->planeData(p);
    in.img.i_stride[p] = static_cast<int>(f->bytesPerRow(p));
  }
  in.i_pts = pts;
  in.i_type = idr ? X264_TYPE_IDR : X264_TYPE_AUTO;
  return in;
}

}  // namespace lumenrail
