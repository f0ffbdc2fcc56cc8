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

class HevcCodecSession final : public CodecSession {
 public:
  HevcCodecSession(x265_encoder* encoder, ParamPtr param) : encoder_(encoder), param_(std::move(param)) {}
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
    in.sliceType = forceIdr ? X265_TYPE_IDR : X265_TYPE_AUTO;
    x265_picture pictureOut;
    x265_picture_init(param_.get(), &pictureOut);
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    const int status = x265_encoder_encode(encoder_, &nals, &count, &in, &pictureOut);
    out.lengthPrefixed.clear();
    out.keyframe = false;
    if (status < 0) return status;
    if (status == 0 || count == 0) return 0;
    size_t total = 0;
    for (uint32_t i = 0; i < count; ++i) total += nals[i].sizeBytes;
    // Payloads are contiguous; without Annex B each begins with its 4-byte length.
    out.lengthPrefixed.assign(nals[0].payload, nals[0].payload + total);
    out.keyframe = pictureOut.sliceType == X265_TYPE_IDR || pictureOut.sliceType == X265_TYPE_I;
    return static_cast<int>(total);
  }

  bool reconfigure(const CodecRate& rate) override {
    // The library copies what may change from the settings it is given; ours
    // stay the one record, restored when it refuses.
    const double rf = param_->rc.rfConstant;
    const int maxrate = param_->rc.vbvMaxBitrate;
    const int bufsize = param_->rc.vbvBufferSize;
    param_->rc.rfConstant = hevcRateFactor(rate.quality);
    param_->rc.vbvMaxBitrate = static_cast<int>(rate.vbvMaxKbps);
    param_->rc.vbvBufferSize = static_cast<int>(rate.vbvBufferKbit);
    if (x265_encoder_reconfig(encoder_, param_.get()) == 0) return true;
    param_->rc.rfConstant = rf;
    param_->rc.vbvMaxBitrate = maxrate;
    param_->rc.vbvBufferSize = bufsize;
    return false;
  }

 private:
  x265_encoder* encoder_;
  ParamPtr param_;
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
  param->rc.rfConstant = hevcRateFactor(rate.quality);
  param->rc.vbvMaxBitrate = static_cast<int>(rate.vbvMaxKbps);
  param->rc.vbvBufferSize = static_cast<int>(rate.vbvBufferKbit);
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
  return std::make_unique<HevcCodecSession>(encoder, std::move(param));
}

}  // namespace lumenrail
