#include <algorithm>

#include "media/CodecSession.hpp"

extern "C" {
#include <x265.h>
}

namespace lumenrail {

double hevcRateFactor(float quality) { return 44.0 - 22.0 * std::clamp(quality, 0.0f, 1.0f); }

namespace {

struct ParamFree {
  void operator()(x265_param* p) const { x265_param_free(p); }
};
using ParamPtr = std::unique_ptr<x265_param, ParamFree>;

void applyRate(x265_param& param, const CodecRate& rate) {
  param.rc.rfConstant = hevcRateFactor(rate.quality);
  param.rc.vbvMaxBitrate = static_cast<int>(rate.vbvMaxKbps);
  param.rc.vbvBufferSize = static_cast<int>(rate.vbvBufferKbit);
}

class HevcCodecSession final : public CodecSession {
 public:
  HevcCodecSession(x265_encoder* encoder, ParamPtr param, const CodecRate& rate)
      : encoder_(encoder), param_(std::move(param)), rate_(rate) {}
  ~HevcCodecSession() override { x265_encoder_close(encoder_); }

  bool acceptsNv12() const override { return false; }

  int encode(const CodecPicture& picture, int64_t pts, bool forceIdr, Output& out) override {
    if (picture.nv12) return -1;
    x265_picture in;
    x265_picture_init(param_.get(), &in);
    for (int i = 0; i < 3; ++i) {
      in.planes[i] = const_cast<uint8_t*>(picture.plane[i]);
      in.stride[i] = picture.stride[i];
    }
    in.pts = pts;
    in.sliceType = forceIdr || idrOwed_ ? X265_TYPE_IDR : X265_TYPE_AUTO;
    x265_picture pictureOut;
    x265_picture_init(param_.get(), &pictureOut);
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    const int status = x265_encoder_encode(encoder_, &nals, &count, &in, &pictureOut);
    out.lengthPrefixed = {};
    out.keyframe = false;
    if (status < 0) return status;
    if (status == 0 || count == 0) return 0;
    size_t total = 0;
    for (uint32_t i = 0; i < count; ++i) total += nals[i].sizeBytes;
    // Payloads are contiguous; without Annex B each begins with its 4-byte length.
    out.lengthPrefixed = ByteView(nals[0].payload, total);
    out.keyframe = pictureOut.sliceType == X265_TYPE_IDR || pictureOut.sliceType == X265_TYPE_I;
    if (out.keyframe) idrOwed_ = false;
    return static_cast<int>(total);
  }

  // x265 3.5 answers success to a live rate-control change and then codes
  // as before: a VBV change that would move the stream's level is dropped
  // with a warning, and the CRF and VBV it does take never reach the rate
  // control. So the encoder is opened again at the new settings; its first
  // picture is an IDR carrying fresh parameter sets, as the decoder needs.
  bool reconfigure(const CodecRate& rate) override {
    if (rate == rate_) return true;
    // The library copies the settings it opens with; ours stay the one
    // record, put back when it refuses the new ones.
    applyRate(*param_, rate);
    x265_encoder* encoder = x265_encoder_open(param_.get());
    if (encoder == nullptr) {
      applyRate(*param_, rate_);
      return false;
    }
    x265_encoder_close(encoder_);
    encoder_ = encoder;
    rate_ = rate;
    idrOwed_ = true;
    return true;
  }

 private:
  x265_encoder* encoder_;
  ParamPtr param_;
  CodecRate rate_;
  // A new encoder's first picture is an IDR anyway; asking keeps it one
  // should the library ever decide otherwise.
  bool idrOwed_ = false;
};

}  // namespace

std::unique_ptr<CodecSession> CodecSession::makeHevc(int width, int height, int fps, const CodecRate& rate) {
  ParamPtr param(x265_param_alloc());
  if (!param) return nullptr;
  // Zero latency: no B-frames, no lookahead, one frame thread, one access unit per picture.
  if (x265_param_default_preset(param.get(), "ultrafast", "zerolatency") < 0) return nullptr;
  param->sourceWidth = width;
  param->sourceHeight = height;
  param->internalCsp = X265_CSP_I420;
  param->fpsNum = static_cast<uint32_t>(fps);
  param->fpsDenom = 1;
  param->logLevel = X265_LOG_NONE;
  param->bRepeatHeaders = 1;
  param->bAnnexB = 0;
  param->bEmitInfoSEI = 0;
  param->bOpenGOP = 0;
  // The wrapper decides every keyframe (negative: no interval of the library's own).
  param->keyframeMax = -1;
  param->keyframeMin = 1;
  param->scenecutThreshold = 0;
  param->rc.rateControlMode = X265_RC_CRF;
  applyRate(*param, rate);
  param->vui.bEnableVideoSignalTypePresentFlag = 1;
  param->vui.videoFormat = 5;  // unspecified
  param->vui.bEnableVideoFullRangeFlag = 1;
  param->vui.bEnableColorDescriptionPresentFlag = 1;
  param->vui.colorPrimaries = 1;  // BT.709
  param->vui.transferCharacteristics = 1;
  param->vui.matrixCoeffs = 1;
  if (x265_param_apply_profile(param.get(), "main") < 0) return nullptr;
  x265_encoder* encoder = x265_encoder_open(param.get());
  if (encoder == nullptr) return nullptr;
  return std::make_unique<HevcCodecSession>(encoder, std::move(param), rate);
}

}  // namespace lumenrail
