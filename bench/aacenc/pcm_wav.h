// Reads a 16-bit PCM WAV file whole (interleaved samples), for the AAC bench tools.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

struct PcmWav {
  uint32_t rate = 0, channels = 0;
  std::vector<int16_t> pcm;  // interleaved
};

inline bool readPcmWav(const char *path, PcmWav &w) {
  FILE *f = std::fopen(path, "rb");
  if (!f) return false;
  std::vector<unsigned char> d;
  unsigned char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) d.insert(d.end(), buf, buf + n);
  std::fclose(f);
  if (d.size() < 12 || std::memcmp(d.data(), "RIFF", 4) || std::memcmp(d.data() + 8, "WAVE", 4)) return false;
  size_t p = 12;
  while (p + 8 <= d.size()) {
    uint32_t sz = d[p + 4] | d[p + 5] << 8 | d[p + 6] << 16 | uint32_t(d[p + 7]) << 24;
    if (!std::memcmp(&d[p], "fmt ", 4) && p + 16 <= d.size()) {
      w.channels = d[p + 10] | d[p + 11] << 8;
      w.rate = d[p + 12] | d[p + 13] << 8 | d[p + 14] << 16 | uint32_t(d[p + 15]) << 24;
    } else if (!std::memcmp(&d[p], "data", 4)) {
      if (w.channels != 1 && w.channels != 2) return false;
      size_t bytes = std::min<size_t>(sz, d.size() - (p + 8));
      w.pcm.resize(bytes / 2);
      std::memcpy(w.pcm.data(), &d[p + 8], w.pcm.size() * 2);
      return true;
    }
    p += 8 + sz + (sz & 1);
  }
  return false;
}
