#pragma once

#include <cstdint>
#include <vector>

#include "media/CodecSession.hpp"
#include "media/PixelBuffer.hpp"

struct SwsContext;

namespace lumenrail {

// Brings a captured frame into the form a codec takes: full-range BT.709
// 4:2:0 at the encoder's size. Full-range 4:2:0 of the right size is read
// where it lies: NV12 by a codec that takes it, I420 by either; a codec that
// wants I420 given NV12 reads its luma in place and only the chroma pairs are
// split. BGRA of the right size goes through the BT.709 converter once.
// Video-range NV12 and other sizes pass through libswscale once.
class EncoderInput final {
 public:
  EncoderInput(int width, int height, bool codecAcceptsNv12);
  ~EncoderInput();
  EncoderInput(const EncoderInput&) = delete;
  EncoderInput& operator=(const EncoderInput&) = delete;

  // False when the frame cannot be converted. The picture points into
  // `buffer` or into this object's scratch until the next call.
  bool prepare(const PixelBuffer& buffer, CodecPicture& picture);

 private:
  int width_;
  int height_;
  bool acceptsNv12_;
  SwsContext* sws_ = nullptr;
  int swsSrcW_ = 0;
  int swsSrcH_ = 0;
  PixelFormat swsSrcFormat_ = PixelFormat::bgra;
  std::vector<uint8_t> scratch_;
  int scratchStride_[3] = {0, 0, 0};
  int nv12ChromaStride_ = 0;
  size_t scratchOffset_[3] = {0, 0, 0};
};

}  // namespace lumenrail
