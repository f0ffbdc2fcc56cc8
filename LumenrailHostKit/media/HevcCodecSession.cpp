#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "media/CodecSession.hpp"
#include "platform/NamedThread.hpp"

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

// x265 3.5 answers success to a live rate-control change and then codes as
// before: a VBV change that would move the stream's level is dropped with a
// warning, and the CRF and VBV it does take never reach the rate control.
// So the encoder is opened again at the new settings; its first picture is an
// IDR carrying fresh parameter sets, as the decoder needs. An open costs tens
// of milliseconds at screen sizes, so requests are coalesced (at most one
// reopen per second, always to the latest settings) and a reopen that has to
// wait is done on a worker thread: the encoding thread only swaps encoders.
// A replaced encoder is closed on the worker too, and only once the next
// picture has started: its last output may still be being read until then.
class HevcCodecSession final : public CodecSession {
 public:
  static constexpr uint64_t kMinReopenIntervalNs = kNsPerSecond;

  HevcCodecSession(x265_encoder* encoder, ParamPtr param, const CodecRate& rate, NowNs nowNs)
      : encoder_(encoder), param_(std::move(param)), rate_(rate), wanted_(rate), nowNs_(std::move(nowNs)) {}

  ~HevcCodecSession() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    // Bounded: an open in progress completes first.
    if (worker_.joinable()) worker_.join();
    x265_encoder_close(encoder_);
    for (x265_encoder* e : retired_) x265_encoder_close(e);
    for (x265_encoder* e : closing_) x265_encoder_close(e);
  }

  bool acceptsNv12() const override { return false; }

  int encode(const CodecPicture& picture, int64_t pts, bool forceIdr, Output& out) override {
    out.lengthPrefixed = {};
    out.keyframe = false;
    if (picture.nv12) return -1;
    std::lock_guard lock(mutex_);
    if (!retired_.empty()) {
      closing_.insert(closing_.end(), retired_.begin(), retired_.end());
      retired_.clear();
      wakeWorker();
    }
    startDueReopen(nowNs_());
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

  // A change that may reopen now does so on the calling thread (the serving
  // session's reconfiguration queue), and the next picture is coded with it;
  // within a second of the last reopen it waits for the worker, and true
  // means it is taken, to be applied then (a later request replaces it).
  bool reconfigure(const CodecRate& rate) override {
    std::unique_lock lock(mutex_);
    wanted_ = rate;
    if (opening_ || rate == rate_ || !due(nowNs_())) return true;
    opening_ = true;
    lastReopenNs_ = nowNs_();
    reopenedOnce_ = true;
    lock.unlock();
    return reopen(rate);
  }

 private:
  bool due(uint64_t now) const { return !reopenedOnce_ || now - lastReopenNs_ >= kMinReopenIntervalNs; }

  // Under mutex_: hands a waiting change to the worker once it is due.
  void startDueReopen(uint64_t now) {
    if (opening_ || wanted_ == rate_ || !due(now)) return;
    opening_ = true;
    lastReopenNs_ = now;
    reopenedOnce_ = true;
    reopenPending_ = true;
    wakeWorker();
  }

  // Under mutex_.
  void wakeWorker() {
    if (!worker_.joinable()) worker_ = NamedThread("lumenrail-hevc-reopen", [this] { work(); });
    cv_.notify_all();
  }

  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return stopping_ || reopenPending_ || !closing_.empty(); });
      if (stopping_) return;
      std::vector<x265_encoder*> done;
      done.swap(closing_);
      const bool reopenNow = reopenPending_;
      reopenPending_ = false;
      const CodecRate target = wanted_;
      lock.unlock();
      for (x265_encoder* e : done) x265_encoder_close(e);
      if (reopenNow) reopen(target);
      lock.lock();
    }
  }

  // With opening_ set by the caller, and mutex_ not held: opens (slow), then
  // swaps under the lock (one picture's wait at most) and retires the old one.
  bool reopen(const CodecRate& rate) {
    // The library copies the settings it opens with; only this thread writes
    // the rate fields while opening_ is set, and encode() reads others.
    applyRate(*param_, rate);
    x265_encoder* fresh = x265_encoder_open(param_.get());
    {
      std::lock_guard lock(mutex_);
      opening_ = false;
      if (fresh == nullptr) {
        applyRate(*param_, rate_);
        // A refused setting is not retried every second.
        if (wanted_ == rate) wanted_ = rate_;
        return false;
      }
      retired_.push_back(encoder_);
      encoder_ = fresh;
      rate_ = rate;
      // A new encoder's first picture is an IDR anyway; asking keeps it one
      // should the library ever decide otherwise.
      idrOwed_ = true;
    }
    return true;
  }

  std::mutex mutex_;  // guards everything below but param_'s rate fields (see reopen)
  std::condition_variable cv_;
  x265_encoder* encoder_;
  ParamPtr param_;
  CodecRate rate_;    // what encoder_ codes with
  CodecRate wanted_;  // the latest request
  NowNs nowNs_;
  bool idrOwed_ = false;
  bool opening_ = false;
  bool reopenedOnce_ = false;
  uint64_t lastReopenNs_ = 0;
  bool reopenPending_ = false;
  bool stopping_ = false;
  std::vector<x265_encoder*> retired_;  // replaced; their last output may still be read
  std::vector<x265_encoder*> closing_;  // for the worker to close

  NamedThread worker_;
};

}  // namespace

std::unique_ptr<CodecSession> CodecSession::makeHevc(int width, int height, int fps, const CodecRate& rate,
                                                     NowNs nowNs) {
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
  return std::make_unique<HevcCodecSession>(encoder, std::move(param), rate, nowNs ? std::move(nowNs) : NowNs(uptimeNs));
}

}  // namespace lumenrail
