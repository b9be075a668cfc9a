#include "codec.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <x264.h>
}
#include <turbojpeg.h>

#include "kavo/os/iav.h"
#include "render.h"

namespace kavo {
namespace sim {
namespace iav {

namespace {

void fillH264Params(x264_param_t& p, const EncodeParams& e) {
  x264_param_default_preset(&p, "ultrafast", "zerolatency");
  p.i_log_level = X264_LOG_NONE;
  p.i_threads = 1;
  p.b_sliced_threads = 0;
  p.i_lookahead_threads = 1;
  p.i_sync_lookahead = 0;
  p.rc.i_lookahead = 0;
  p.i_slice_count = 1;
  p.i_width = e.width;
  p.i_height = e.height;
  p.i_csp = X264_CSP_I420;
  p.i_fps_num = std::max<uint32_t>(1, e.fpsNum);
  p.i_fps_den = std::max<uint32_t>(1, e.fpsDen);
  // Constant rate (a varying one would delay every frame by one); a new rate reopens the encoder.
  p.b_vfr_input = 0;
  p.i_bframe = 0;
  p.i_keyint_max = X264_KEYINT_MAX_INFINITE;  // key frames only where the DSP's GOP puts them
  p.i_keyint_min = 1;
  p.i_scenecut_threshold = 0;
  p.b_intra_refresh = 0;
  p.b_aud = 1;
  p.b_repeat_headers = 1;
  p.b_annexb = 0;  // length-prefixed: every NAL gets its 4-byte start code here
  p.rc.i_qp_max = 51;
  const int avgKbps = static_cast<int>(std::max<uint32_t>(16, e.avgBitrate / 1000));
  const int maxKbps = static_cast<int>(std::max<uint32_t>(16, e.maxBitrate / 1000));
  if (e.rcMode == IAV_CBR) {
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = avgKbps;
    p.rc.i_vbv_max_bitrate = avgKbps;
    p.rc.i_vbv_buffer_size = avgKbps;
  } else {
    p.rc.i_rc_method = X264_RC_CRF;
    p.rc.f_rf_constant = 26;
    p.rc.i_vbv_max_bitrate = maxKbps;
    p.rc.i_vbv_buffer_size = maxKbps;
  }
}

bool sameStream(const EncodeParams& a, const EncodeParams& b) {
  return a.type == b.type && a.width == b.width && a.height == b.height && a.rcMode == b.rcMode &&
         a.fpsNum == b.fpsNum && a.fpsDen == b.fpsDen && a.replay == b.replay && a.replayFrames == b.replayFrames;
}

}  // namespace

bool EncodeParams::operator==(const EncodeParams& o) const {
  return sameStream(*this, o) && avgBitrate == o.avgBitrate &&
         maxBitrate == o.maxBitrate && jpegQuality == o.jpegQuality;
}

StreamEncoder::StreamEncoder() = default;

StreamEncoder::~StreamEncoder() { close(); }

void StreamEncoder::close() {
  if (x264_) x264_encoder_close(x264_);
  x264_ = nullptr;
  if (tj_) tjDestroy(static_cast<tjhandle>(tj_));
  tj_ = nullptr;
  configured_ = false;
  store_.clear();
  recs_.clear();
  next_ = 0;
  havePts_ = false;
}

void StreamEncoder::ensure(size_t bytes) {
  if (bytes <= outCap_) return;
  out_.reset(new uint8_t[bytes]);
  outCap_ = bytes;
}

bool StreamEncoder::openH264(std::string& error) {
  x264_param_t p;
  fillH264Params(p, params_);
  x264_ = x264_encoder_open(&p);
  if (x264_ == nullptr) {
    error = "x264_encoder_open failed";
    return false;
  }
  return true;
}

bool StreamEncoder::configure(const EncodeParams& p, std::string& error) {
  if (p.width <= 0 || p.height <= 0 || (p.width & 1) || (p.height & 1)) {
    error = "odd or empty picture size";
    return false;
  }
  if (configured_ && p == params_) return true;
  if (configured_ && sameStream(p, params_) && !p.replay) {
    // Same picture and rate-control kind: the new rates go to the running encoder.
    params_ = p;
    if (p.type == IAV_ENCODE_H264 && x264_) {
      x264_param_t xp;
      fillH264Params(xp, params_);
      if (x264_encoder_reconfig(x264_, &xp) < 0) {
        error = "x264_encoder_reconfig failed";
        return false;
      }
    }
    return true;
  }
  close();
  params_ = p;
  const size_t pixels = static_cast<size_t>(p.width) * p.height;
  planes_.assign(pixels * 3 / 2, 0);
  fresh_ = true;
  if (p.type == IAV_ENCODE_H264) {
    ensure(pixels * 2 + 4096);
    if (!openH264(error)) return false;
  } else if (p.type == IAV_ENCODE_MJPEG) {
    ensure(tjBufSize(p.width, p.height, TJSAMP_420));
    tj_ = tjInitCompress();
    if (tj_ == nullptr) {
      error = "tjInitCompress failed";
      return false;
    }
  } else {
    error = "unknown encode type";
    return false;
  }
  configured_ = true;
  if (p.replay && !prepareReplay(error)) {
    close();
    return false;
  }
  return true;
}

bool StreamEncoder::encodeLive(FrameKind kind, uint64_t pts90k, std::string& error) {
  const int w = params_.width, h = params_.height;
  uint8_t* py = planes_.data();
  uint8_t* pu = py + static_cast<size_t>(w) * h;
  uint8_t* pv = pu + static_cast<size_t>(w / 2) * (h / 2);

  if (params_.type == IAV_ENCODE_MJPEG) {
    const unsigned char* planes[3] = {py, pu, pv};
    const int strides[3] = {w, w / 2, w / 2};
    unsigned char* buf = out_.get();
    unsigned long size = outCap_;
    if (tjCompressFromYUVPlanes(static_cast<tjhandle>(tj_), planes, w, strides, h, TJSAMP_420, &buf, &size,
                                params_.jpegQuality, TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0) {
      error = tjGetErrorStr();
      return false;
    }
    outLen_ = size;
    outType_ = IAV_PIC_TYPE_MJPEG;
    return true;
  }

  // x264 wants strictly rising times.
  if (havePts_ && pts90k <= lastPts_) pts90k = lastPts_ + 1;
  lastPts_ = pts90k;
  havePts_ = true;
  x264_picture_t in, out;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  in.img.plane[0] = py;
  in.img.plane[1] = pu;
  in.img.plane[2] = pv;
  in.img.i_stride[0] = w;
  in.img.i_stride[1] = w / 2;
  in.img.i_stride[2] = w / 2;
  in.i_pts = static_cast<int64_t>(pts90k);
  in.i_type = kind == FrameKind::Idr ? X264_TYPE_IDR : kind == FrameKind::Intra ? X264_TYPE_I : X264_TYPE_P;
  x264_nal_t* nals = nullptr;
  int count = 0;
  const int bytes = x264_encoder_encode(x264_, &nals, &count, &in, &out);
  if (bytes < 0 || count <= 0) {
    error = "x264_encoder_encode gave no frame";
    return false;
  }
  ensure(static_cast<size_t>(bytes) + 64);
  size_t len = 0;
  uint8_t* dst = out_.get();
  for (int i = 0; i < count; ++i) {
    if (nals[i].i_payload < 4) continue;
    const size_t body = static_cast<size_t>(nals[i].i_payload) - 4;
    dst[len] = 0;
    dst[len + 1] = 0;
    dst[len + 2] = 0;
    dst[len + 3] = 1;
    std::memcpy(dst + len + 4, nals[i].p_payload + 4, body);
    len += body + 4;
  }
  outLen_ = len;
  outType_ = out.i_type == X264_TYPE_IDR ? IAV_PIC_TYPE_IDR
             : (out.i_type == X264_TYPE_I) ? IAV_PIC_TYPE_I
             : IS_X264_TYPE_B(out.i_type)  ? IAV_PIC_TYPE_B
                                           : IAV_PIC_TYPE_P;
  return true;
}

bool StreamEncoder::prepareReplay(std::string& error) {
  // One key frame, then predicted frames; replayed in a loop without coding anything more.
  const uint32_t n = std::max<uint32_t>(1, params_.replayFrames);
  const int w = params_.width, h = params_.height;
  uint8_t* py = planes_.data();
  uint8_t* pu = py + static_cast<size_t>(w) * h;
  uint8_t* pv = pu + static_cast<size_t>(w / 2) * (h / 2);
  for (uint32_t i = 0; i < n; ++i) {
    drawScene(py, pu, pv, w, h, i, false, false);
    if (!encodeLive(i == 0 ? FrameKind::Idr : FrameKind::Predicted, 3000ull * (i + 1), error)) return false;
    recs_.push_back(Rec{store_.size(), static_cast<uint32_t>(outLen_), outType_});
    store_.insert(store_.end(), out_.get(), out_.get() + outLen_);
  }
  next_ = 0;
  return true;
}

bool StreamEncoder::encode(FrameKind kind, uint64_t pts90k, const uint8_t** data, uint32_t* size, uint32_t* picType,
                           std::string& error) {
  if (!configured_) {
    error = "encoder not configured";
    return false;
  }
  if (params_.replay) {
    // The loop starts again at its key frame, so the replayed stream stays decodable.
    if (kind != FrameKind::Predicted || next_ >= recs_.size()) next_ = 0;
    const Rec& r = recs_[next_++];
    *data = store_.data() + r.offset;
    *size = r.size;
    *picType = r.type;
    return true;
  }
  if (!encodeLive(kind, pts90k, error)) return false;
  fresh_ = false;
  *data = out_.get();
  *size = static_cast<uint32_t>(outLen_);
  *picType = outType_;
  return true;
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
