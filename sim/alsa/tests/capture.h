#pragma once
// What the tests of the simulated sound card share: a capture opened with the camera's call
// sequence, mmap reads that honour what snd_pcm_mmap_begin grants, the journal and a reference of
// the test signal.
#include <alsa/asoundlib.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kavo/sim/alsa_sim.h"

namespace alsatest {

inline uint64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

inline std::vector<nlohmann::json> journal(const char* req = nullptr) {
  std::vector<nlohmann::json> out;
  std::ifstream in(kavo::sim::alsa::journalFile());
  std::string line;
  while (std::getline(in, line)) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (req == nullptr || (j.is_object() && j.value("req", "") == req)) out.push_back(j);
  }
  return out;
}

struct Capture {
  snd_pcm_t* pcm = nullptr;
  unsigned rate = 0, channels = 0;
  snd_pcm_uframes_t period = 0, buffer = 0;
  // The first failing step's ALSA code, 0 when the capture is prepared.
  int failed = 0;
  const char* failedAt = "";

  ~Capture() { close(); }
  void close() {
    if (pcm != nullptr) snd_pcm_close(pcm);
    pcm = nullptr;
  }

  // The camera's set-up: "default", blocking, any, access, S16_LE, rate near, channels, install,
  // prepare. The period and buffer stay at the device's defaults.
  int open(unsigned askRate, unsigned askChannels, snd_pcm_access_t access = SND_PCM_ACCESS_MMAP_INTERLEAVED,
           snd_pcm_format_t format = SND_PCM_FORMAT_S16_LE, const char* name = "default") {
    int rc = snd_pcm_open(&pcm, name, SND_PCM_STREAM_CAPTURE, 0);
    if (rc < 0) {
      pcm = nullptr;
      return fail(rc, "snd_pcm_open");
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_malloc(&hw);
    rate = askRate;
    if ((rc = snd_pcm_hw_params_any(pcm, hw)) < 0) return freeFail(hw, rc, "any");
    if ((rc = snd_pcm_hw_params_set_access(pcm, hw, access)) < 0) return freeFail(hw, rc, "access");
    if ((rc = snd_pcm_hw_params_set_format(pcm, hw, format)) < 0) return freeFail(hw, rc, "format");
    if ((rc = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr)) < 0) return freeFail(hw, rc, "rate");
    if ((rc = snd_pcm_hw_params_set_channels(pcm, hw, askChannels)) < 0) return freeFail(hw, rc, "channels");
    if ((rc = snd_pcm_hw_params(pcm, hw)) < 0) return freeFail(hw, rc, "hw_params");
    snd_pcm_hw_params_free(hw);
    channels = askChannels;
    snd_pcm_get_params(pcm, &buffer, &period);
    if ((rc = snd_pcm_prepare(pcm)) < 0) return fail(rc, "prepare");
    return 0;
  }

  // Reads n frames through mmap, in the contiguous pieces that snd_pcm_mmap_begin grants, waiting
  // for them by polling snd_pcm_avail. The result of the first failing call, else n.
  long read(std::vector<int16_t>& out, snd_pcm_uframes_t n, snd_pcm_uframes_t chunk = 1024) {
    snd_pcm_uframes_t done = 0;
    while (done < n) {
      const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
      if (avail < 0) return avail;
      const snd_pcm_uframes_t want = std::min<snd_pcm_uframes_t>(chunk, n - done);
      if (static_cast<snd_pcm_uframes_t>(avail) < want) {
        struct timespec ts{0, 1000000};
        nanosleep(&ts, nullptr);
        continue;
      }
      snd_pcm_uframes_t left = want;
      while (left > 0) {
        const snd_pcm_channel_area_t* areas = nullptr;
        snd_pcm_uframes_t offset = 0, frames = left;
        int rc = snd_pcm_mmap_begin(pcm, &areas, &offset, &frames);
        if (rc < 0) return rc;
        const auto* base = reinterpret_cast<const int16_t*>(static_cast<const char*>(areas[0].addr) + areas[0].first / 8);
        out.insert(out.end(), base + offset * channels, base + (offset + frames) * channels);
        const snd_pcm_sframes_t c = snd_pcm_mmap_commit(pcm, offset, frames);
        if (c < 0 || static_cast<snd_pcm_uframes_t>(c) != frames) return c < 0 ? c : -EIO;
        left -= frames;
        done += frames;
      }
    }
    return static_cast<long>(n);
  }

 private:
  int fail(int rc, const char* at) {
    failed = rc;
    failedAt = at;
    return rc;
  }
  int freeFail(snd_pcm_hw_params_t* hw, int rc, const char* at) {
    snd_pcm_hw_params_free(hw);
    return fail(rc, at);
  }
};

// The card's tone (README.md): sample s of channel c is
// round(32767 x 10^(level/20) x gain x sin(2 pi f s / rate)).
inline double expectedTone(double freq, double levelDb, double gain, unsigned rate, uint64_t s) {
  const double ph = std::fmod(freq * static_cast<double>(s), rate) / rate;
  return 32767.0 * std::pow(10.0, levelDb / 20.0) * gain * std::sin(2 * M_PI * ph);
}

// Frequency from the zero crossings of one channel (rising edges, linearly interpolated).
inline double zeroCrossingHz(const std::vector<int16_t>& x, unsigned channels, unsigned ch, unsigned rate) {
  double first = -1, last = -1;
  int count = 0;
  const size_t n = x.size() / channels;
  for (size_t i = 1; i < n; ++i) {
    const double a = x[(i - 1) * channels + ch], b = x[i * channels + ch];
    if (a < 0 && b >= 0) {
      const double t = static_cast<double>(i - 1) + (-a) / (b - a);
      if (first < 0) first = t;
      last = t;
      ++count;
    }
  }
  if (count < 2) return 0;
  return (count - 1) * rate / (last - first);
}

inline int peak(const std::vector<int16_t>& x, unsigned channels, unsigned ch) {
  int p = 0;
  for (size_t i = ch; i < x.size(); i += channels) p = std::max(p, std::abs(static_cast<int>(x[i])));
  return p;
}

}  // namespace alsatest
