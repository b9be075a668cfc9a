// The simulated microphone: an ALSA capture PCM (external "ioplug" plugin) whose samples appear in
// the mmap buffer at the granted rate on CLOCK_MONOTONIC, like a DMA engine filling it. It carries
// a sine per channel with short tone bursts on the video input's picture instants, scaled by the
// "Capture Volume" element, and overruns like hardware when the reader falls a buffer behind (or on
// demand). README.md describes configuration, journal and faults.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <new>

#include "card.h"
#include "plugin_conf.h"
#include "video_timing.h"


namespace kavo {
namespace sim {
namespace alsa {
namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr int64_t kE18 = 1000000000000000000ll;

using i128 = __int128;

int64_t floorDiv(i128 a, i128 b) {
  i128 q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return static_cast<int64_t>(q);
}
int64_t ceilDiv(i128 a, i128 b) { return -floorDiv(-a, b); }

struct Pcm : PluginDevice {
  Pcm() : PluginDevice("pcm") {}
  snd_pcm_ioplug_t io{};
  VideoTimingReader video;
  int timerFd = -1;

  // granted parameters
  unsigned rate = 0, channels = 0;
  snd_pcm_uframes_t period = 0, buffer = 0;
  snd_pcm_uframes_t availMin = 1, stopThreshold = 0, boundary = 0;
  i128 rateNum = 0;  // rate x (10^9 + drift in ppb): frames = elapsed ns x rateNum / 10^18

  // run state
  bool running = false;
  bool xrun = false;
  uint64_t startNs = 0;
  uint64_t written = 0;  // frames produced since the start (the hardware position)
  uint32_t xrunSeen = 0;
  bool positionalXrun = false;  // the positional overrun of the faults file applies to this run
  uint64_t maxAvail = 0;
  uint64_t overruns = 0;

  // signal
  double toneAmp = 0, markAmp = 0;
  double toneFreq[8] = {};
  int64_t markLen = 0;
  VideoTiming vt;
  bool markVideo = false;      // marks on video instants (else on the clock grid)
  uint64_t markPeriodNs = 0;   // clock grid
  int64_t markK = -1;          // the mark scheduled next
  int64_t markStart = 0, markEnd = 0;

  // --- sample clock
  uint64_t framesAt(uint64_t now) const {
    if (now <= startNs) return 0;
    return static_cast<uint64_t>(static_cast<i128>(now - startNs) * rateNum / kE18);
  }
  // First sample at or after the instant t.
  int64_t sampleAt(uint64_t t) const { return ceilDiv((static_cast<i128>(t) - startNs) * rateNum, kE18); }
  uint64_t timeOf(int64_t s) const {
    return startNs + static_cast<uint64_t>(ceilDiv(static_cast<i128>(s) * kE18, rateNum));
  }
  uint64_t applAbs() const {
    const uint64_t wrap = boundary ? boundary : buffer;
    const uint64_t hw = written % wrap;
    const uint64_t behind = (hw + wrap - io.appl_ptr % wrap) % wrap;
    return written - behind;
  }

  // --- marks
  uint64_t markInstant(int64_t k) const {
    return markVideo ? vt.frameNs(static_cast<uint64_t>(k) * cfg.markEveryFrames)
                     : static_cast<uint64_t>(k) * markPeriodNs;
  }
  int64_t markEndOf(int64_t k) const { return sampleAt(markInstant(k)) + markLen; }
  void scheduleMark(int64_t from) {
    markK = -1;
    if (!cfg.marks || (!markVideo && markPeriodNs == 0)) return;
    const uint64_t tFrom = from > 0 ? timeOf(from) : startNs;
    const uint64_t durNs = static_cast<uint64_t>(cfg.markDurationMs * 1e6) + 1;
    const uint64_t t = tFrom > durNs ? tFrom - durNs : 0;
    int64_t k = 0;
    if (markVideo) {
      if (t > vt.startNs) k = static_cast<int64_t>((t - vt.startNs) * 64ull / (vt.period * 125ull) / cfg.markEveryFrames);
    } else {
      k = static_cast<int64_t>(t / markPeriodNs);
    }
    while (k > 0 && markEndOf(k - 1) > from) --k;
    while (markEndOf(k) <= from) ++k;
    markK = k;
    markStart = sampleAt(markInstant(k));
    markEnd = markStart + markLen;
  }
  // Follows the video input: a new input timing moves the marks onto its pictures.
  void updateMarkSource(uint64_t now, bool force) {
    if (!cfg.marks) return;
    VideoTiming t;
    if (cfg.marksFollowVideo) t = video.read(now);
    if (!force && t == vt) return;
    vt = t;
    markVideo = vt.valid;
    JournalLine line;
    begin(line, "marks");
    line.str("origin", markVideo ? "video" : "clock").unum("position", written);
    if (markVideo) {
      line.unum("videoStartNs", vt.startNs).unum("framePeriod", vt.period).unum("everyFrames", cfg.markEveryFrames);
    } else {
      line.unum("periodNs", markPeriodNs);
      if (cfg.marksFollowVideo) line.str("why", video.why());
    }
    write(line);
    scheduleMark(static_cast<int64_t>(written));
  }

  // --- production
  double gain() const {
    if (!cfg.volumePresent || st == nullptr) return 1.0;
    const int64_t v = st->volume.load(std::memory_order_relaxed);
    const double g = static_cast<double>(v - cfg.volumeMin) / static_cast<double>(cfg.volumeMax - cfg.volumeMin);
    return g < 0 ? 0 : g > 1 ? 1 : g;
  }
  void produce(uint64_t to) {
    if (to <= written) return;
    // Only the last buffer of a long stretch can still be read.
    uint64_t from = written;
    if (to - from > buffer) from = to - buffer;
    const snd_pcm_channel_area_t* areas = snd_pcm_ioplug_mmap_areas(&io);
    if (areas == nullptr) {
      written = to;
      return;
    }
    const double g = gain();
    const double tone = toneAmp * g, mark = markAmp * g;
    if (markK >= 0 && markEnd <= static_cast<int64_t>(from)) scheduleMark(static_cast<int64_t>(from));
    for (uint64_t s = from; s < to; ++s) {
      const int64_t si = static_cast<int64_t>(s);
      if (markK >= 0 && si >= markEnd) scheduleMark(si);
      const bool inMark = markK >= 0 && si >= markStart && si < markEnd;
      const snd_pcm_uframes_t off = s % buffer;
      for (unsigned c = 0; c < channels; ++c) {
        double v;
        if (inMark) {
          const double ph = std::fmod(cfg.markFrequency * static_cast<double>(si - markStart), rate) / rate;
          v = mark * std::sin(kTwoPi * ph);
        } else {
          const double ph = std::fmod(toneFreq[c] * static_cast<double>(s), rate) / rate;
          v = tone * std::sin(kTwoPi * ph);
        }
        long q = std::lround(v);
        q = q > 32767 ? 32767 : q < -32768 ? -32768 : q;
        auto* p = static_cast<char*>(areas[c].addr) + (areas[c].first + areas[c].step * off) / 8;
        const int16_t sample = static_cast<int16_t>(q);
        std::memcpy(p, &sample, sizeof sample);
      }
    }
    written = to;
  }

  snd_pcm_sframes_t enterXrun(const char* cause, uint64_t position) {
    xrun = true;
    running = false;
    ++overruns;
    JournalLine line;
    begin(line, "xrun");
    line.str("cause", cause).unum("position", position).unum("avail", position - applAbs());
    write(line);
    return -EPIPE;
  }

  snd_pcm_sframes_t pointer() {
    const uint64_t wrap = boundary ? boundary : buffer;
    if (xrun) return -EPIPE;
    if (!running) return static_cast<snd_pcm_sframes_t>(written % wrap);
    std::string err;
    if (faults.refresh(root, st, false, err)) {
      positionalXrun = faults.xrunArmed();
      if (!err.empty()) journalError("faults", err);
    }
    const uint32_t req = st != nullptr ? st->xrunRequests.load() : 0;
    const uint64_t now = monoNs();
    uint64_t target = framesAt(now);
    if (cfg.periodPointer) target -= target % period;
    if (req != xrunSeen) {
      xrunSeen = req;
      return enterXrun("injected", target);
    }
    if (positionalXrun && target >= faults.xrunAfter()) {
      positionalXrun = false;
      faults.takeXrun();
      return enterXrun("fault", target);
    }
    const uint64_t avail = target - applAbs();
    if (avail >= stopThreshold && (boundary == 0 || stopThreshold < boundary)) return enterXrun("late", target);
    if (avail > maxAvail) maxAvail = avail;
    updateMarkSource(now, false);
    produce(target);
    return static_cast<snd_pcm_sframes_t>(written % wrap);
  }

  // Arms the poll timer for the moment the reader's wake-up level is reached.
  void armTimer() {
    itimerspec its{};
    if (xrun) {
      its.it_value.tv_nsec = 1;
    } else if (running) {
      const uint64_t want = applAbs() + availMin;
      uint64_t t = timeOf(static_cast<int64_t>(want + 1));
      if (cfg.periodPointer) t = timeOf(static_cast<int64_t>((want + period - 1) / period * period + 1));
      its.it_value.tv_sec = static_cast<time_t>(t / 1000000000ull);
      its.it_value.tv_nsec = static_cast<long>(t % 1000000000ull);
      if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) its.it_value.tv_nsec = 1;
    }
    timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &its, nullptr);
  }
};

Pcm* self(snd_pcm_ioplug_t* io) { return static_cast<Pcm*>(io->private_data); }

int cbStart(snd_pcm_ioplug_t* io) {
  Pcm* p = self(io);
  int rc = p->fault("snd_pcm_start");
  if (rc == 0) {
    p->startNs = monoNs();
    p->written = 0;
    p->running = true;
    p->xrun = false;
    p->maxAvail = 0;
    p->xrunSeen = p->st != nullptr ? p->st->xrunRequests.load() : 0;
    p->positionalXrun = p->faults.xrunArmed();
  }
  JournalLine line;
  p->begin(line, "start");
  line.num("rc", rc).unum("startNs", p->startNs);
  p->write(line);
  if (rc == 0) p->updateMarkSource(p->startNs, true);
  return rc;
}

int cbStop(snd_pcm_ioplug_t* io) {
  Pcm* p = self(io);
  const bool was = p->running;
  p->running = false;
  JournalLine line;
  p->begin(line, "stop");
  line.unum("position", p->written).boolean("wasRunning", was);
  p->write(line);
  return 0;
}

snd_pcm_sframes_t cbPointer(snd_pcm_ioplug_t* io) { return self(io)->pointer(); }

int cbPrepare(snd_pcm_ioplug_t* io) {
  Pcm* p = self(io);
  int rc = p->fault("snd_pcm_prepare");
  if (rc == 0) {
    p->running = false;
    p->xrun = false;
    p->written = 0;
  }
  JournalLine line;
  p->begin(line, "prepare");
  line.num("rc", rc);
  p->write(line);
  return rc;
}

const char* accessName(snd_pcm_access_t a) {
  switch (a) {
    case SND_PCM_ACCESS_MMAP_INTERLEAVED: return "MMAP_INTERLEAVED";
    case SND_PCM_ACCESS_RW_INTERLEAVED: return "RW_INTERLEAVED";
    default: return "other";
  }
}

int cbHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*) {
  Pcm* p = self(io);
  int rc = p->fault("snd_pcm_hw_params");
  if (rc == 0) {
    p->rate = io->rate;
    p->channels = io->channels;
    p->period = io->period_size;
    p->buffer = io->buffer_size;
    p->rateNum = static_cast<i128>(p->rate) * (1000000000ll + p->cfg.driftPpb);
    p->toneAmp = 32767.0 * std::pow(10.0, p->cfg.toneLevelDb / 20.0);
    p->markAmp = 32767.0 * std::pow(10.0, p->cfg.markLevelDb / 20.0);
    for (unsigned c = 0; c < 8; ++c) {
      const auto& f = p->cfg.toneFrequency;
      p->toneFreq[c] = f[c < f.size() ? c : f.size() - 1];
    }
    p->markLen = std::max<int64_t>(1, std::llround(p->cfg.markDurationMs * p->rate / 1000.0));
    p->markPeriodNs = static_cast<uint64_t>(std::llround(p->cfg.markPeriodMs * 1e6));
    p->stopThreshold = p->buffer;
  }
  JournalLine line;
  p->begin(line, "hw_params");
  line.num("rc", rc).str("access", accessName(io->access)).str("format", snd_pcm_format_name(io->format));
  line.unum("channels", io->channels).unum("rate", io->rate).unum("periodFrames", io->period_size);
  line.unum("bufferFrames", io->buffer_size);
  p->write(line);
  return rc;
}

int cbSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
  Pcm* p = self(io);
  int rc = p->fault("snd_pcm_sw_params");
  snd_pcm_uframes_t availMin = 0, stop = 0, start = 0, bound = 0;
  snd_pcm_sw_params_get_avail_min(params, &availMin);
  snd_pcm_sw_params_get_stop_threshold(params, &stop);
  snd_pcm_sw_params_get_start_threshold(params, &start);
  snd_pcm_sw_params_get_boundary(params, &bound);
  if (rc == 0) {
    p->availMin = availMin ? availMin : 1;
    p->stopThreshold = stop;
    p->boundary = bound;
  }
  JournalLine line;
  p->begin(line, "sw_params");
  line.num("rc", rc).unum("availMin", availMin).unum("startThreshold", start).unum("stopThreshold", stop);
  p->write(line);
  return rc;
}

int cbPollCount(snd_pcm_ioplug_t*) { return 1; }

int cbPollDescriptors(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int space) {
  Pcm* p = self(io);
  if (space < 1) return -EINVAL;
  p->armTimer();
  pfd[0].fd = p->timerFd;
  pfd[0].events = POLLIN;
  pfd[0].revents = 0;
  return 1;
}

int cbPollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds, unsigned short* revents) {
  Pcm* p = self(io);
  if (nfds < 1) return -EINVAL;
  uint64_t ticks;
  if (pfd[0].revents & POLLIN) (void)!::read(p->timerFd, &ticks, sizeof ticks);
  *revents = 0;
  if (p->xrun) {
    *revents = POLLIN | POLLERR;
  } else if (p->running) {
    uint64_t hw = p->framesAt(monoNs());
    if (p->cfg.periodPointer) hw -= hw % p->period;
    if (hw >= p->applAbs() + p->availMin) *revents = POLLIN;
    else p->armTimer();
  }
  return 0;
}

int cbClose(snd_pcm_ioplug_t* io) {
  Pcm* p = self(io);
  JournalLine line;
  p->begin(line, "close");
  line.unum("overruns", p->overruns).unum("maxAvail", p->maxAvail);
  p->write(line);
  if (p->timerFd >= 0) ::close(p->timerFd);
  delete p;
  return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
  snd_pcm_ioplug_callback_t c{};
  c.start = cbStart;
  c.stop = cbStop;
  c.pointer = cbPointer;
  c.close = cbClose;
  c.hw_params = cbHwParams;
  c.sw_params = cbSwParams;
  c.prepare = cbPrepare;
  c.poll_descriptors_count = cbPollCount;
  c.poll_descriptors = cbPollDescriptors;
  c.poll_revents = cbPollRevents;
  return c;
}();

int setConstraints(Pcm* p) {
  static const unsigned accesses[] = {SND_PCM_ACCESS_MMAP_INTERLEAVED, SND_PCM_ACCESS_RW_INTERLEAVED};
  static const unsigned formats[] = {SND_PCM_FORMAT_S16_LE};
  const Config& c = p->cfg;
  int rc;
  if ((rc = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_ACCESS, 2, accesses)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_CHANNELS, static_cast<unsigned>(c.channels.size()),
                                          c.channels.data())) < 0 ||
      (rc = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_RATE, static_cast<unsigned>(c.rates.size()),
                                          c.rates.data())) < 0 ||
      (rc = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, c.periodBytes, c.periodBytes)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIODS, c.periods, c.periods)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, c.periodBytes * c.periods,
                                            c.periodBytes * c.periods)) < 0)
    return rc;
  return 0;
}

}  // namespace
}  // namespace alsa
}  // namespace sim
}  // namespace kavo

// The plugins are built with hidden symbols; ALSA looks up only these two.
#pragma GCC visibility push(default)
extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(kavo) {
  using namespace kavo::sim::alsa;
  using kavo::sim::JournalLine;
  (void)root;
  Pcm* p = new (std::nothrow) Pcm();
  if (p == nullptr) return -ENOMEM;
  int rc = p->attach(conf);  // a malformed block leaves the journal closed: nothing is written
  p->video.setRoot(p->root);
  if (rc == 0 && stream != SND_PCM_STREAM_CAPTURE) rc = -ENOENT;  // a microphone has no playback side
  if (rc == 0) rc = p->faults.onRequest("snd_pcm_open");
  if (rc == 0) {
    p->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (p->timerFd < 0) rc = -errno;
  }
  if (rc == 0) {
    p->io.version = SND_PCM_IOPLUG_VERSION;
    p->io.name = "kavo simulated microphone";
    p->io.callback = &kCallbacks;
    p->io.private_data = p;
    p->io.mmap_rw = 1;
    p->io.poll_fd = p->timerFd;
    p->io.poll_events = POLLIN;
    p->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC | SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    rc = snd_pcm_ioplug_create(&p->io, name, stream, mode);
    if (rc == 0) {
      rc = setConstraints(p);
      if (rc < 0) {
        snd_pcm_ioplug_delete(&p->io);  // calls cbClose, which frees p
        return rc;
      }
    }
  }
  JournalLine line;
  p->begin(line, "open");
  line.str("name", name ? name : "").str("stream", stream == SND_PCM_STREAM_CAPTURE ? "capture" : "playback");
  line.num("mode", mode).num("rc", rc);
  p->write(line);
  if (rc < 0) {
    if (p->timerFd >= 0) ::close(p->timerFd);
    delete p;
    return rc;
  }
  *pcmp = p->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(kavo)

}  // extern "C"
#pragma GCC visibility pop
