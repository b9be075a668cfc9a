#pragma once
// A scripted sound card for the audio capture's unit tests: the ALSA entries of the library's
// binding are replaced by functions that act on one FakeCard, and the AAC encoder's entries can be
// watched or replaced. The card behaves like an mmap capture device: a ring of `bufferFrames`
// frames (exactly that large, so a read past the granted area is caught by the sanitizer), a
// hardware position moved by produce(), snd_pcm_mmap_begin granting no more than what is
// available and contiguous, and an overrun when the reader falls a whole buffer behind.
//
// Samples: frame k of the capture (counted from the start), channel c holds sampleAt(k, c).
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "audiobinding.h"
#include "kavo/encoder/audioencoder.h"
#include "kavo/encoder/encodersettings.h"

namespace audiotest {

using kavo::encoder::AudioBinding;
using kavo::encoder::AudioEncoder;
using kavo::encoder::EncoderSettings;

inline int16_t sampleAt(uint64_t k, unsigned c) { return static_cast<int16_t>(((k * 3 + c * 1000) % 20000) - 10000); }

struct FakeCard {
  // Device properties.
  unsigned bufferFrames = 4000;
  unsigned grantRate = 0;  // 0: the rate asked for
  long volumeMin = 0, volumeMax = 31;
  bool volumePresent = true;
  // Injected failures: call name -> negative code (every call until erased).
  std::map<std::string, int> failing;
  bool commitShort = false;  // snd_pcm_mmap_commit answers one frame less

  // State.
  unsigned rate = 0, channels = 0;
  bool open = false, ctlOpen = false, paramsAllocated = false, running = false;
  std::vector<int16_t> ring;
  uint64_t hw = 0, appl = 0;  // frames produced / consumed since the last start
  uint64_t produced = 0;      // frames produced over the whole capture (the sample numbering)
  uint64_t applBase = 0;      // the numbering of appl = 0
  bool xrun = false;
  snd_pcm_uframes_t granted = 0, grantedOffset = 0;
  bool grantOutstanding = false;
  std::vector<std::string> calls;
  std::vector<long> volumeWrites;
  std::vector<std::pair<int, int>> recovers;
  int misuse = 0;  // commits that did not match the last grant, calls on a closed device

  snd_pcm_channel_area_t area{};

  void produce(unsigned frames) {
    for (unsigned i = 0; i < frames; i++) {
      const uint64_t k = produced + i;
      const uint64_t slot = (hw + i) % bufferFrames;
      for (unsigned c = 0; c < channels; c++) ring[slot * channels + c] = sampleAt(k, c);
    }
    hw += frames;
    produced += frames;
    if (hw - appl > bufferFrames) xrun = true;
  }
  // The numbering of the next frame that the reader will get.
  uint64_t nextFrame() const { return applBase + appl; }
  bool called(const std::string& name) const {
    for (const auto& c : calls)
      if (c == name) return true;
    return false;
  }
  int fail(const char* name) {
    calls.push_back(name);
    auto it = failing.find(name);
    return it != failing.end() ? it->second : 0;
  }
};

inline FakeCard*& card() {
  static FakeCard* current = nullptr;
  return current;
}

inline snd_pcm_t* pcmHandle() { return reinterpret_cast<snd_pcm_t*>(card()); }
inline snd_ctl_t* ctlHandle() { return reinterpret_cast<snd_ctl_t*>(card()); }

// The element id, info and value records of the fake control: the element's name and range.
struct FakeElem {
  char name[64];
  long min, max, value;
};

namespace fake {

inline int pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_pcm_open")) return rc;
  if (std::strcmp(name, "default") != 0 || stream != SND_PCM_STREAM_CAPTURE || mode != 0) return -EINVAL;
  c.open = true;
  *pcm = pcmHandle();
  return 0;
}
inline int pcm_close(snd_pcm_t*) {
  card()->calls.push_back("snd_pcm_close");
  card()->open = false;
  return 0;
}
inline int hw_params_malloc(snd_pcm_hw_params_t** p) {
  if (int rc = card()->fail("snd_pcm_hw_params_malloc")) return rc;
  card()->paramsAllocated = true;
  *p = reinterpret_cast<snd_pcm_hw_params_t*>(card());
  return 0;
}
inline void hw_params_free(snd_pcm_hw_params_t*) {
  card()->calls.push_back("snd_pcm_hw_params_free");
  card()->paramsAllocated = false;
}
inline int hw_params_any(snd_pcm_t*, snd_pcm_hw_params_t*) { return card()->fail("snd_pcm_hw_params_any"); }
inline int hw_params_set_access(snd_pcm_t*, snd_pcm_hw_params_t*, snd_pcm_access_t access) {
  if (int rc = card()->fail("snd_pcm_hw_params_set_access")) return rc;
  return access == SND_PCM_ACCESS_MMAP_INTERLEAVED ? 0 : -EINVAL;
}
inline int hw_params_set_format(snd_pcm_t*, snd_pcm_hw_params_t*, snd_pcm_format_t format) {
  if (int rc = card()->fail("snd_pcm_hw_params_set_format")) return rc;
  return format == SND_PCM_FORMAT_S16_LE ? 0 : -EINVAL;
}
inline int hw_params_set_rate_near(snd_pcm_t*, snd_pcm_hw_params_t*, unsigned* rate, int* dir) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_pcm_hw_params_set_rate_near")) return rc;
  if (dir != nullptr) return -EINVAL;
  if (c.grantRate != 0) *rate = c.grantRate;
  c.rate = *rate;
  return 0;
}
inline int hw_params_set_channels(snd_pcm_t*, snd_pcm_hw_params_t*, unsigned channels) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_pcm_hw_params_set_channels")) return rc;
  if (channels < 1 || channels > 2) return -EINVAL;
  c.channels = channels;
  return 0;
}
inline int hw_params(snd_pcm_t*, snd_pcm_hw_params_t*) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_pcm_hw_params")) return rc;
  c.ring.assign(static_cast<size_t>(c.bufferFrames) * c.channels, 0);
  c.area.addr = c.ring.data();
  c.area.first = 0;
  c.area.step = c.channels * 16;
  return 0;
}
inline int prepare(snd_pcm_t*) { return card()->fail("snd_pcm_prepare"); }
inline int start(snd_pcm_t*) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_pcm_start")) return rc;
  if (!c.open) c.misuse++;
  c.running = true;
  c.applBase = c.produced;
  c.hw = c.appl = 0;
  c.xrun = false;
  return 0;
}
inline snd_pcm_sframes_t avail(snd_pcm_t*) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_pcm_avail")) return rc;
  if (c.xrun) return -EPIPE;
  return static_cast<snd_pcm_sframes_t>(c.hw - c.appl);
}
inline int recover(snd_pcm_t*, int err, int silent) {
  FakeCard& c = *card();
  c.recovers.emplace_back(err, silent);
  if (int rc = c.fail("snd_pcm_recover")) return rc;
  c.xrun = false;
  c.running = false;
  c.hw = c.appl = 0;
  return 0;
}
inline int mmap_begin(snd_pcm_t*, const snd_pcm_channel_area_t** areas, snd_pcm_uframes_t* offset,
                      snd_pcm_uframes_t* frames) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_pcm_mmap_begin")) return rc;
  const snd_pcm_uframes_t off = c.appl % c.bufferFrames;
  snd_pcm_uframes_t n = *frames;
  const snd_pcm_uframes_t available = c.hw - c.appl;
  if (n > available) n = available;
  if (n > c.bufferFrames - off) n = c.bufferFrames - off;
  *areas = &c.area;
  *offset = off;
  *frames = n;
  c.granted = n;
  c.grantedOffset = off;
  c.grantOutstanding = true;
  return 0;
}
inline snd_pcm_sframes_t mmap_commit(snd_pcm_t*, snd_pcm_uframes_t offset, snd_pcm_uframes_t frames) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_pcm_mmap_commit")) return rc;
  if (!c.grantOutstanding || offset != c.grantedOffset || frames > c.granted) {
    c.misuse++;
    return -EPIPE;
  }
  c.grantOutstanding = false;
  c.appl += frames;
  return static_cast<snd_pcm_sframes_t>(c.commitShort ? frames - 1 : frames);
}

inline int ctl_open(snd_ctl_t** ctl, const char* name, int mode) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_ctl_open")) return rc;
  if (std::strcmp(name, "default") != 0 || mode != 0) return -EINVAL;
  c.ctlOpen = true;
  *ctl = ctlHandle();
  return 0;
}
inline int ctl_close(snd_ctl_t*) {
  card()->calls.push_back("snd_ctl_close");
  card()->ctlOpen = false;
  return 0;
}
inline size_t elem_sizeof() { return sizeof(FakeElem); }
inline void elem_id_set_interface(snd_ctl_elem_id_t* id, snd_ctl_elem_iface_t iface) {
  if (iface != SND_CTL_ELEM_IFACE_MIXER) reinterpret_cast<FakeElem*>(id)->name[0] = '?';
}
inline void elem_id_set_name(snd_ctl_elem_id_t* id, const char* name) {
  FakeElem* e = reinterpret_cast<FakeElem*>(id);
  if (e->name[0] != '?') std::snprintf(e->name, sizeof e->name, "%s", name);
}
inline void elem_info_set_id(snd_ctl_elem_info_t* info, const snd_ctl_elem_id_t* id) {
  std::memcpy(info, id, sizeof(FakeElem));
}
inline int elem_info(snd_ctl_t*, snd_ctl_elem_info_t* info) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_ctl_elem_info")) return rc;
  FakeElem* e = reinterpret_cast<FakeElem*>(info);
  if (!c.volumePresent || std::strcmp(e->name, "Capture Volume") != 0) return -ENOENT;
  e->min = c.volumeMin;
  e->max = c.volumeMax;
  return 0;
}
inline long elem_info_get_min(const snd_ctl_elem_info_t* info) { return reinterpret_cast<const FakeElem*>(info)->min; }
inline long elem_info_get_max(const snd_ctl_elem_info_t* info) { return reinterpret_cast<const FakeElem*>(info)->max; }
inline void elem_value_set_id(snd_ctl_elem_value_t* v, const snd_ctl_elem_id_t* id) {
  std::memcpy(v, id, sizeof(FakeElem));
}
inline void elem_value_set_integer(snd_ctl_elem_value_t* v, unsigned idx, long value) {
  if (idx == 0) reinterpret_cast<FakeElem*>(v)->value = value;
}
inline int elem_write(snd_ctl_t*, snd_ctl_elem_value_t* v) {
  FakeCard& c = *card();
  if (int rc = c.fail("snd_ctl_elem_write")) return rc;
  FakeElem* e = reinterpret_cast<FakeElem*>(v);
  if (std::strcmp(e->name, "Capture Volume") != 0) return -ENOENT;
  c.volumeWrites.push_back(e->value);
  return 0;
}

}  // namespace fake

// Puts a FakeCard in place of ALSA for its lifetime; the AAC entries stay the program's own.
class ScriptedCard {
 public:
  ScriptedCard() {
    kavo::encoder::rebindAudio();
    card() = &state;
    AudioBinding& b = kavo::encoder::audioBinding();
    b.snd_pcm_open = fake::pcm_open;
    b.snd_pcm_close = fake::pcm_close;
    b.snd_pcm_hw_params_malloc = fake::hw_params_malloc;
    b.snd_pcm_hw_params_free = fake::hw_params_free;
    b.snd_pcm_hw_params_any = fake::hw_params_any;
    b.snd_pcm_hw_params_set_access = fake::hw_params_set_access;
    b.snd_pcm_hw_params_set_format = fake::hw_params_set_format;
    b.snd_pcm_hw_params_set_rate_near = fake::hw_params_set_rate_near;
    b.snd_pcm_hw_params_set_channels = fake::hw_params_set_channels;
    b.snd_pcm_hw_params = fake::hw_params;
    b.snd_pcm_prepare = fake::prepare;
    b.snd_pcm_start = fake::start;
    b.snd_pcm_avail = fake::avail;
    b.snd_pcm_recover = fake::recover;
    b.snd_pcm_mmap_begin = fake::mmap_begin;
    b.snd_pcm_mmap_commit = fake::mmap_commit;
    b.snd_ctl_open = fake::ctl_open;
    b.snd_ctl_close = fake::ctl_close;
    b.snd_ctl_elem_id_sizeof = fake::elem_sizeof;
    b.snd_ctl_elem_id_set_interface = fake::elem_id_set_interface;
    b.snd_ctl_elem_id_set_name = fake::elem_id_set_name;
    b.snd_ctl_elem_info_sizeof = fake::elem_sizeof;
    b.snd_ctl_elem_info_set_id = fake::elem_info_set_id;
    b.snd_ctl_elem_info = fake::elem_info;
    b.snd_ctl_elem_info_get_min = fake::elem_info_get_min;
    b.snd_ctl_elem_info_get_max = fake::elem_info_get_max;
    b.snd_ctl_elem_value_sizeof = fake::elem_sizeof;
    b.snd_ctl_elem_value_set_id = fake::elem_value_set_id;
    b.snd_ctl_elem_value_set_integer = fake::elem_value_set_integer;
    b.snd_ctl_elem_write = fake::elem_write;
  }
  ~ScriptedCard() {
    kavo::encoder::rebindAudio();
    card() = nullptr;
  }
  ScriptedCard(const ScriptedCard&) = delete;
  ScriptedCard& operator=(const ScriptedCard&) = delete;

  FakeCard state;
};

// A settings document with an enabled "audio" node.
inline EncoderSettings audioSettings(unsigned channels = 1, unsigned rate = 11025, unsigned bitRate = 32000,
                                     unsigned volume = 50, unsigned mode = 0) {
  EncoderSettings s;
  auto a = s.audio();
  a.enabled(true);
  a.channels(static_cast<uint8_t>(channels));
  a.sampleRate(rate);
  a.bitRate(bitRate);
  a.volume(static_cast<uint8_t>(volume));
  a.mode(static_cast<uint8_t>(mode));
  s.NormalizeFields();
  return s;
}

}  // namespace audiotest
