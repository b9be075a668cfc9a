// aac_speed: encodes a 16-bit WAV file (AAC-LC, ADTS) in memory and reports the CPU time of
// the whole run, per frame, and the worst single aacenc_encode call (thread CPU time).
// Usage: aac_speed input.wav bitrate [frames]   (frames limits the run, e.g. under callgrind)
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aacenc.h"

namespace {
double cpuNow() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + ts.tv_nsec * 1e-9;
}
}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: aac_speed input.wav bitrate [frames]\n");
    return 2;
  }
  FILE *f = std::fopen(argv[1], "rb");
  if (!f) return 1;
  std::vector<unsigned char> d;
  unsigned char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) d.insert(d.end(), buf, buf + n);
  std::fclose(f);
  // plain 44-byte-header PCM as sox writes it; find the data chunk
  size_t p = 12, data = 0, bytes = 0;
  uint32_t rate = 0, ch = 0;
  while (p + 8 <= d.size()) {
    uint32_t sz = d[p + 4] | d[p + 5] << 8 | d[p + 6] << 16 | uint32_t(d[p + 7]) << 24;
    if (!std::memcmp(&d[p], "fmt ", 4)) {
      ch = d[p + 10] | d[p + 11] << 8;
      rate = d[p + 12] | d[p + 13] << 8 | d[p + 14] << 16 | uint32_t(d[p + 15]) << 24;
    }
    if (!std::memcmp(&d[p], "data", 4)) {
      data = p + 8;
      bytes = std::min<size_t>(sz, d.size() - data);
      break;
    }
    p += 8 + sz + (sz & 1);
  }
  if (!data || (ch != 1 && ch != 2)) return 1;
  std::vector<int16_t> pcm(bytes / 2);
  std::memcpy(pcm.data(), &d[data], pcm.size() * 2);
  size_t frames = pcm.size() / (1024 * ch);
  if (argc > 3) frames = std::min<size_t>(frames, size_t(std::atol(argv[3])));

  aacenc_config_t cfg;
  std::memset(&cfg, 0, sizeof(cfg));
  std::vector<uint8_t> block(AACENC_BLOCK_BYTES(ch), 0);
  cfg.sample_rate = rate;
  cfg.channels_in = ch;
  cfg.bit_rate = uint32_t(std::atol(argv[2]));
  cfg.format = 't';
  cfg.output_buffer = block.data();
  cfg.work_memory = block.data() + AACENC_OUTPUT_BYTES(ch);
  aacenc_setup(&cfg);
  aacenc_open(&cfg);
  if (cfg.error) {
    std::fprintf(stderr, "aac_speed: encoder refused (error %u)\n", cfg.error);
    return 1;
  }
  double worst = 0, t0 = cpuNow();
  uint64_t out = 0;
  for (size_t i = 0; i < frames; i++) {
    cfg.input_pcm = pcm.data() + i * 1024 * ch;
    double a = cpuNow();
    aacenc_encode(&cfg);
    double b = cpuNow();
    if (b - a > worst) worst = b - a;
    out += cfg.output_bits;
  }
  double total = cpuNow() - t0;
  std::printf("frames %zu cpu_s %.3f per_frame_us %.1f worst_call_us %.1f bits %llu\n", frames, total,
              frames ? total / frames * 1e6 : 0.0, worst * 1e6, (unsigned long long)out);
  return cfg.error ? 1 : 0;
}
