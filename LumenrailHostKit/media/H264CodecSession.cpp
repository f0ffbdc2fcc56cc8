#include <algorithm>
#include <cstring>
#include <mutex>

#include "media/H264Parameters.hpp"

namespace lumenrail {

double h264RateFactor(float quality) { return 40.0 - 22.0 * std::clamp(quality, 0.0f, 1.0f); }

namespace {

class H264CodecSession final : public CodecSession {
 public:
  explicit H264CodecSession(x264_t* encoder) : encoder_(encoder) {}
  ~H264CodecSession() override { x264_encoder_close(encoder_); }

  bool acceptsNv12() const override { return true; }

  int encode(const CodecPicture& picture, int64_t pts, bool forceIdr, Output& out) override {
    std::lock_guard lock(mutex_);
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = picture.nv12 ? X264_CSP_NV12 : X264_CSP_I420;
    in.img.i_plane = picture.nv12 ? 2 : 3;
    for (int i = 0; i < in.img.i_plane; ++i) {
      in.img.plane[i] = const_cast<uint8_t*>(picture.plane[i]);
      in.img.i_stride[i] = picture.stride[i];
    }
    in.i_pts = pts;
    in.i_type = forceIdr ? X264_TYPE_IDR : X264_TYPE_AUTO;
    x264_picture_t pictureOut;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const int bytes = x264_encoder_encode(encoder_, &nals, &count, &in, &pictureOut);
    if (bytes < 0) return bytes;
    out.lengthPrefixed = {};
    out.keyframe = false;
    if (bytes == 0 || count <= 0) return 0;
    // Payloads are contiguous; without Annex B each begins with its 4-byte length.
    out.lengthPrefixed = ByteView(nals[0].p_payload, static_cast<size_t>(bytes));
    out.keyframe = pictureOut.b_keyframe != 0;
    return bytes;
  }

  // Quick: x264 changes its rate control in place, between two pictures.
  bool reconfigure(const CodecRate& rate) override {
    std::lock_guard lock(mutex_);
    x264_param_t param;
    x264_encoder_parameters(encoder_, &param);
    param.rc.f_rf_constant = static_cast<float>(h264RateFactor(rate.quality));
    param.rc.i_vbv_max_bitrate = static_cast<int>(rate.vbvMaxKbps);
    param.rc.i_vbv_buffer_size = static_cast<int>(rate.vbvBufferKbit);
    return x264_encoder_reconfig(encoder_, &param) == 0;
  }

 private:
  std::mutex mutex_;
  x264_t* encoder_;
};

}  // namespace

bool h264Parameters(x264_param_t& param, int width, int height, int fps, const CodecRate& rate) {
  // Zero latency: no B-frames, no lookahead, sliced threads, one access unit per picture.
  if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0) return false;
  param.i_width = width;
  param.i_height = height;
  param.i_csp = X264_CSP_NV12;  // what the capture delivers; I420 pictures are taken too
  param.i_fps_num = static_cast<uint32_t>(fps);
  param.i_fps_den = 1;
  param.i_log_level = X264_LOG_NONE;
  // The fastest preset codes Baseline; CABAC is the cheapest tool that makes it Main.
  param.b_cabac = 1;
  // The wrapper decides every keyframe, so a live frame-rate change keeps the interval right.
  param.i_keyint_max = X264_KEYINT_MAX_INFINITE;
  param.i_keyint_min = 1;
  param.i_scenecut_threshold = 0;
  param.b_intra_refresh = 0;
  param.b_repeat_headers = 1;
  param.b_annexb = 0;
  param.rc.i_rc_method = X264_RC_CRF;
  param.rc.f_rf_constant = static_cast<float>(h264RateFactor(rate.quality));
  // VBV must be on from the start, or a live bit-rate change is ignored.
  param.rc.i_vbv_max_bitrate = static_cast<int>(rate.vbvMaxKbps);
  param.rc.i_vbv_buffer_size = static_cast<int>(rate.vbvBufferKbit);
  param.vui.i_vidformat = 5;  // unspecified
  param.vui.b_fullrange = 1;
  param.vui.i_colorprim = 1;  // BT.709
  param.vui.i_transfer = 1;
  param.vui.i_colmatrix = 1;
  return x264_param_apply_profile(&param, "main") >= 0;
}

std::unique_ptr<CodecSession> CodecSession::makeH264(int width, int height, int fps, const CodecRate& rate) {
  x264_param_t param;
  if (!h264Parameters(param, width, height, fps, rate)) return nullptr;
  x264_t* encoder = x264_encoder_open(&param);
  if (encoder == nullptr) return nullptr;
  return std::make_unique<H264CodecSession>(encoder);
}

}  // namespace lumenrail
