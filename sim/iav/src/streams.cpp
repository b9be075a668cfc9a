// Encode streams: their configuration, start and stop, the frames they produce and the bitstream
// ring the frames go through.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "sim.h"

namespace kavo {
namespace sim {
namespace iav {

int Sim::setEncodeFormat(Call& c) {
  const auto& e = *argPtr<iav_encode_format_ex_t>(c);
  c.line.object("arg")
      .unum("id", e.id)
      .unum("type", e.encode_type)
      .unum("source", e.source)
      .unum("width", e.encode_width)
      .unum("height", e.encode_height)
      .close();
  const int k = streamOrdinal(e.id);
  if (k < 0 || (e.encode_type != IAV_ENCODE_H264 && e.encode_type != IAV_ENCODE_MJPEG) || e.source > 3)
    return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  if (s.encoding) return -EBUSY;
  if (!st_->buffersSet) return -EPERM;
  const uint32_t types[4] = {st_->bufferTypes.main_buffer_type, st_->bufferTypes.second_buffer_type,
                             st_->bufferTypes.third_buffer_type, st_->bufferTypes.fourth_buffer_type};
  if (!types[e.source]) return -EINVAL;
  const auto& f = st_->bufferFormats;
  const uint16_t bufW[4] = {f.main_width, f.second.width, f.third.width, f.fourth.width};
  const uint16_t bufH[4] = {f.main_height, f.second.height, f.third.height, f.fourth.height};
  if (e.encode_width == 0 || e.encode_height == 0 || (e.encode_width & 1) || (e.encode_height & 1)) return -EINVAL;
  if (e.encode_x + e.encode_width > bufW[e.source] || e.encode_y + e.encode_height > bufH[e.source]) return -EINVAL;
  const auto& l = st_->limits.stream_max_encode_size[k];
  if (st_->limitsSet && (e.encode_width > l.width || e.encode_height > l.height)) return -EINVAL;
  s.formatSet = 1;
  s.type = e.encode_type;
  s.source = e.source;
  s.width = e.encode_width;
  s.height = e.encode_height;
  s.h264.pic_info.width = e.encode_width;
  s.h264.pic_info.height = e.encode_height;
  ++s.configGen;
  return 0;
}

int Sim::getH264Config(Call& c) {
  auto* rec = argPtr<iav_h264_config_ex_s>(c);
  const int k = streamOrdinal(rec->id);
  c.line.object("arg").unum("id", rec->id);
  if (k < 0) {
    c.line.close();
    return -EINVAL;
  }
  const Stream& s = st_->streams[k];
  *rec = s.h264;
  rec->id = 1u << k;
  rec->average_bitrate = s.bitrate.cbr_avg_bitrate;
  c.line.unum("M", rec->M).unum("N", rec->N).close();
  return 0;
}

int Sim::setH264Config(Call& c) {
  const auto& h = *argPtr<iav_h264_config_ex_s>(c);
  const int k = streamOrdinal(h.id);
  const auto* raw = reinterpret_cast<const uint8_t*>(&h);
  c.line.object("arg").unum("id", h.id).unum("M", h.M).unum("N", h.N).unum("idrInterval", h.idr_interval);
  c.line.unum("gopModel", h.gop_model).unum("flags", raw[IAV_H264_CONFIG_FLAG_BYTE]).unum("auType", h.au_type).close();
  if (k < 0) return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  if (s.encoding) return -EBUSY;
  if (s.formatSet && s.type != IAV_ENCODE_H264) return -EINVAL;
  const uint32_t maxM = st_->limitsSet ? st_->limits.stream_max_GOP_M[k] : 3;
  const uint32_t maxN = st_->limitsSet && st_->limits.stream_max_GOP_N[k] ? st_->limits.stream_max_GOP_N[k] : 255;
  if (h.M == 0 || h.M > std::max(1u, maxM) || h.N == 0 || h.N > maxN || h.gop_model > 7) return -EINVAL;
  s.h264 = h;
  s.h264.id = 1u << k;
  s.gopN = h.N;
  s.idrInterval = std::max<uint32_t>(1, h.idr_interval);
  ++s.configGen;
  return 0;
}

void Sim::rebase(Stream& s) {
  // A new rate starts from the input frame after the last one taken, and never from one that is
  // older than the last picture handed out (of any stream): its time would repeat that one.
  if (s.taken > 0) s.baseVin = s.lastVin + 1;
  const uint64_t offset = static_cast<uint64_t>(&s - st_->streams) * 1000ull;  // as produce() adds
  if (vinTime(s.baseVin) + offset <= st_->lastPts) s.baseVin = vinIndexAt(st_->lastPts - offset) + 1;
  s.taken = 0;
}

int Sim::changeFramerate(Call& c) {
  const auto& r = *argPtr<iav_change_framerate_factor_ex_t>(c);
  c.line.object("arg").unum("id", r.id).unum("numerator", r.ratio_numerator).unum("denominator", r.ratio_denominator).close();
  const int k = streamOrdinal(r.id);
  if (k < 0 || r.ratio_numerator == 0 || r.ratio_denominator == 0 || r.ratio_numerator > r.ratio_denominator)
    return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  if (s.encoding) rebase(s);
  s.fpsNum = r.ratio_numerator;
  s.fpsDen = r.ratio_denominator;
  ++s.configGen;
  return 0;
}

int Sim::changeGop(Call& c) {
  const auto& g = *argPtr<iav_change_gop_ex_t>(c);
  c.line.object("arg").unum("id", g.id).unum("N", g.N).unum("idrInterval", g.idr_interval).close();
  const int k = streamOrdinal(g.id);
  const uint32_t maxN = st_->limitsSet && st_->limits.stream_max_GOP_N[k < 0 ? 0 : k] ? st_->limits.stream_max_GOP_N[k] : 255;
  if (k < 0 || g.N == 0 || g.N > maxN || g.idr_interval == 0 || g.idr_interval > 255) return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  s.gopN = g.N;
  s.idrInterval = g.idr_interval;
  s.h264.N = static_cast<uint16_t>(g.N);
  s.h264.idr_interval = static_cast<uint8_t>(g.idr_interval);
  return 0;
}

int Sim::setBitrate(Call& c) {
  const auto& b = *argPtr<iav_bitrate_ex_t>(c);
  c.line.object("arg")
      .unum("id", b.id)
      .unum("mode", b.rate_control_mode)
      .unum("avg", b.cbr_avg_bitrate)
      .unum("min", b.vbr_min_bitrate)
      .unum("max", b.vbr_max_bitrate)
      .close();
  const int k = streamOrdinal(b.id);
  if (k < 0 || b.rate_control_mode > IAV_VBR || b.cbr_avg_bitrate == 0 || b.vbr_max_bitrate == 0) return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  s.bitrate = b;
  s.bitrate.id = 1u << k;
  ++s.configGen;
  return 0;
}

int Sim::forceIdr(Call& c) {
  const uint32_t mask = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("id", mask).close();
  if (mask == 0 || mask > 0xf) return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  for (int k = 0; k < kStreams; ++k)
    if ((mask & (1u << k)) && !st_->streams[k].formatSet) return -EINVAL;
  for (int k = 0; k < kStreams; ++k)
    if (mask & (1u << k)) st_->streams[k].forceIdr = 1;
  return 0;
}


bool Sim::anyEncoding() const {
  for (const auto& s : st_->streams)
    if (s.encoding) return true;
  return false;
}

int Sim::startEncode(Call& c) {
  const uint32_t mask = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("id", mask).close();
  if (mask == 0 || mask > 0xf) return -EINVAL;
  if (st_->dspState != IAV_STATE_PREVIEW && st_->dspState != IAV_STATE_ENCODING) return -EPERM;
  for (int k = 0; k < kStreams; ++k) {
    if (!(mask & (1u << k))) continue;
    if (!st_->streams[k].formatSet) return -EINVAL;
    if (st_->streams[k].encoding) return -EBUSY;
  }
  // The encoders and the pictures' charts are made now, not at the first read: the first frame
  // comes on time. A failure shows at that read.
  for (int k = 0; k < kStreams; ++k) {
    StreamEncoder* enc = nullptr;
    if (mask & (1u << k)) encoderFor(k, enc);
  }
  const uint64_t base = vinIndexAt(now()) + 1;
  for (int k = 0; k < kStreams; ++k) {
    if (!(mask & (1u << k))) continue;
    Stream& s = st_->streams[k];
    s.encoding = 1;
    ++s.sessionId;
    s.baseVin = base;
    s.taken = 0;
    s.gopPos = 0;
    s.gopsSinceIdr = 0;
    s.forceIdr = 1;
  }
  st_->dspState = IAV_STATE_ENCODING;
  return 0;
}

int Sim::stopEncode(Call& c) {
  const uint32_t mask = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("id", mask).close();
  if (mask == 0 || mask > 0xf) return -EINVAL;
  if (st_->dspState != IAV_STATE_ENCODING) return -EPERM;
  for (int k = 0; k < kStreams; ++k)
    if ((mask & (1u << k)) && !st_->streams[k].encoding) return -EINVAL;
  for (int k = 0; k < kStreams; ++k)
    if (mask & (1u << k)) st_->streams[k].encoding = 0;
  if (!anyEncoding()) st_->dspState = IAV_STATE_PREVIEW;
  return 0;
}

// ---- frames -------------------------------------------------------------------------------------

uint64_t Sim::dueFrames(const Stream& s, uint64_t vinNow) const {
  if (vinNow < s.baseVin) return 0;
  const uint64_t num = std::max(1u, s.fpsNum), den = std::max(1u, s.fpsDen);
  return ((vinNow - s.baseVin + 1) * num + den - 1) / den;
}

bool Sim::encoderFor(int k, StreamEncoder*& enc) {
  const Stream& s = st_->streams[k];
  if (!encoders_[k]) encoders_[k].reset(new StreamEncoder());
  enc = encoders_[k].get();
  if (enc->configured() && encoderGen_[k] == s.configGen) return true;
  EncodeParams p;
  p.type = s.type;
  p.width = s.width;
  p.height = s.height;
  const uint32_t inputFps = st_->vinRate ? IAV_FRAME_RATE_CLOCK / st_->vinRate : 30;
  p.fpsNum = std::max(1u, inputFps * std::max(1u, s.fpsNum));
  p.fpsDen = std::max(1u, s.fpsDen);
  p.rcMode = s.bitrate.rate_control_mode;
  p.avgBitrate = s.bitrate.cbr_avg_bitrate;
  p.maxBitrate = s.bitrate.vbr_max_bitrate;
  p.jpegQuality = config_.jpegQuality;
  p.replay = config_.replay;
  p.replayFrames = config_.replayFrames;
  std::string error;
  if (!enc->configure(p, error)) {
    SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: stream %d: %s", k, error.c_str());
    return false;
  }
  encoderGen_[k] = s.configGen;
  if (!p.replay) renderers_[k].configure(s.width, s.height);
  return true;
}

int Sim::produce(int k, uint64_t t, const uint8_t* base, iav_bitstream_desc_t* d, JournalLine& line) {
  Stream& s = st_->streams[k];
  const bool h264 = s.type == IAV_ENCODE_H264;
  FrameEffects fx;
  frameFaults_.onFrame(k, h264, fx);
  const uint64_t vin = frameVin(s, s.taken);
  uint64_t pts = vinTime(vin) + static_cast<uint64_t>(k) * 1000ull;
  if (pts <= st_->lastPts) pts = st_->lastPts + 1;

  StreamEncoder* enc = nullptr;
  if (!encoderFor(k, enc)) return -EIO;
  if (enc->fresh()) s.forceIdr = 1;  // a new encoder starts with a key frame
  FrameKind kind = FrameKind::Predicted;
  if (h264) {
    const uint32_t n = std::max(1u, s.gopN), idr = std::max(1u, s.idrInterval);
    if (s.forceIdr || !s.keySeen || s.gopPos >= n) {
      const bool isIdr = s.forceIdr || !s.keySeen || s.gopsSinceIdr + 1 >= idr;
      kind = isIdr ? FrameKind::Idr : FrameKind::Intra;
      s.gopsSinceIdr = isIdr ? 0 : s.gopsSinceIdr + 1;
      s.gopPos = 0;
      s.forceIdr = 0;
      s.keySeen = 1;
    }
    ++s.gopPos;
  }
  const uint8_t* data = nullptr;
  uint32_t size = 0, picType = 0;
  std::string error;
  const bool hflip = h264 && s.h264.hflip, vflip = h264 && s.h264.vflip;
  if (!enc->replaying()) {
    // The picture of input frame `vin` as the camera sees it now.
    refreshCamera();
    camera_.view(*st_, vin, vinTime(vin), view_);
    uint8_t* py = enc->picture();
    uint8_t* pu = py + static_cast<size_t>(s.width) * s.height;
    uint8_t* pv = pu + static_cast<size_t>(s.width / 2) * (s.height / 2);
    renderers_[k].render(view_, static_cast<uint32_t>(s.pictures), hflip, vflip, maskView(s.width, s.height), py, pu, pv);
  }
  if (!enc->encode(kind, pts * 9 / 100000, &data, &size, &picType, error)) {
    if (!error.empty()) SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: stream %d: %s", k, error.c_str());
    return -EIO;
  }
  if (fx.shortStartCode && size > 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
    ++data;  // 00 00 01: a frame without its 4-byte start code
    --size;
  }
  s.taken++;
  s.lastVin = vin;
  s.pictures++;
  if (static_cast<uint64_t>(size) + st_->lastSize + 64 > st_->ringSize) {
    // The frame does not fit beside the one the reader holds: the DSP drops it.
    if (h264) ++st_->h264FrameNumber;
    line.object("arg").num("stream", k).unum("size", size).boolean("dropped", true).close();
    return -ENOSPC;
  }
  uint32_t start = (st_->writePos + 31u) & ~31u;
  if (start >= st_->ringSize) start -= st_->ringSize;
  const uint32_t first = std::min(size, st_->ringSize - start);
  std::memcpy(ring_ + start, data, first);
  if (first < size) std::memcpy(ring_, data + first, size - first);
  st_->writePos = start + size >= st_->ringSize ? start + size - st_->ringSize : start + size;
  st_->lastStart = start;
  st_->lastSize = size;

  const uint64_t vinNow = vinIndexAt(t);
  uint64_t behind = 0;
  for (int j = 0; j < kStreams; ++j) {
    const Stream& o = st_->streams[j];
    if (!o.encoding || (o.type == IAV_ENCODE_H264) != h264) continue;
    const uint64_t due = dueFrames(o, vinNow);
    if (due > o.taken) behind += due - o.taken;
  }
  uint32_t number;
  if (h264) {
    st_->h264FrameNumber += 1 + fx.gap;
    number = st_->h264FrameNumber;
  } else {
    number = ++st_->mjpegFrameNumber;
  }
  std::memset(d, 0, sizeof *d);
  d->frameNumber = number;
  d->sessionId = s.sessionId;
  d->frameStart = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base) + start);
  d->frameInfo = (picType & 7u) | (size << 8);
  d->streamIndex = static_cast<uint8_t>(k);
  d->width = s.width;
  d->height = s.height;
  d->vinFrameNumber = static_cast<uint32_t>(vin);
  d->pts = pts;
  d->queueCounter = number + static_cast<uint32_t>(fx.queue ? fx.backlog : behind);
  st_->lastPts = pts;
  line.object("arg").num("stream", k).unum("frameNumber", number).unum("pic", picType).unum("size", size);
  line.unum("start", start).boolean("wrap", first < size).unum("pts", pts).unum("queue", d->queueCounter);
  line.unum("picture", s.pictures - 1).unum("vin", vin);
  if (fx.gap) line.unum("gap", fx.gap);
  if (fx.shortStartCode) line.boolean("shortStartCode", true);
  line.close();
  return 0;
}

int Sim::readBitstream(Call& c) {
  auto* d = argPtr<iav_bitstream_desc_t>(c);
  c.buffered = true;
  for (;;) {
    if (uint32_t ms = frameFaults_.takeStall()) {
      unlockState();
      sleepUntilNs(monoNs() + ms * 1000000ull);
      lockState();
    }
    if (frameFaults_.takeEagain()) {
      c.line.boolean("injected", true);
      return -EAGAIN;
    }
    if (st_->dspState != IAV_STATE_ENCODING || !anyEncoding()) return -EPERM;
    if (frameFaults_.takeStalePts() && haveLastDesc_) {
      *d = lastDesc_;
      c.line.object("arg").num("stream", d->streamIndex).unum("frameNumber", d->frameNumber).unum("pts", d->pts);
      c.line.boolean("stale", true).close();
      return 0;
    }
    const uint64_t t = now();
    const uint64_t vinNow = vinIndexAt(t);
    int best = -1;
    uint64_t bestVin = 0, next = UINT64_MAX;
    for (int k = 0; k < kStreams; ++k) {
      Stream& s = st_->streams[k];
      if (!s.encoding) continue;
      const uint64_t due = dueFrames(s, vinNow);
      if (due > s.taken + st_->queueLimit) {
        // The DSP's queue is full: the oldest frames are lost, and their numbers with them.
        const uint64_t lost = due - s.taken - st_->queueLimit;
        s.taken += lost;
        s.pictures += lost;
        if (s.type == IAV_ENCODE_H264) st_->h264FrameNumber += static_cast<uint32_t>(lost);
      }
      const uint64_t vin = frameVin(s, s.taken);
      if (vinTime(vin) <= t) {
        if (best < 0 || vin < bestVin) {
          best = k;
          bestVin = vin;
        }
      } else {
        next = std::min(next, vinTime(vin));
      }
    }
    if (best >= 0) {
      const int rc = produce(best, t, c.file.bsb, d, c.line);
      if (rc == -ENOSPC) continue;
      if (rc == 0) {
        lastDesc_ = *d;
        haveLastDesc_ = true;
      }
      return rc;
    }
    if (next == UINT64_MAX) return -EPERM;
    if (st_->virtualClock) {
      if (!st_->autoAdvance) {
        ++eagainRun_;
        c.silent = true;
        return -EAGAIN;
      }
      st_->virtualNow = std::max(st_->virtualNow, next);
      continue;
    }
    if (c.file.flags & O_NONBLOCK) {
      ++eagainRun_;
      c.silent = true;
      return -EAGAIN;
    }
    unlockState();
    sleepUntilNs(std::min<uint64_t>(next, monoNs() + 100000000ull));
    lockState();
    refreshFaults(false);
  }
}


}  // namespace iav
}  // namespace sim
}  // namespace kavo
