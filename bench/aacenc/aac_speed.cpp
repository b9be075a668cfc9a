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
#include "pcm_wav.h"

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
  PcmWav w;
  if (!readPcmWav(argv[1], w)) {
    std::fprintf(stderr, "aac_speed: %s: not a 16-bit mono or stereo WAV file\n", argv[1]);
    return 1;
  }
  const std::vector<int16_t> &pcm = w.pcm;
  const uint32_t rate = w.rate, ch = w.channels;
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
  double worst = 0, worst_later = 0, t0 = cpuNow();
  size_t worst_at = 0;
  uint64_t out = 0;
  for (size_t i = 0; i < frames; i++) {
    cfg.input_pcm = pcm.data() + i * 1024 * ch;
    double a = cpuNow();
    aacenc_encode(&cfg);
    double b = cpuNow();
    if (b - a > worst) {
      worst = b - a;
      worst_at = i;
    }
    if (i > 0 && b - a > worst_later) worst_later = b - a;
    out += cfg.output_bits;
  }
  double total = cpuNow() - t0;
  std::printf("frames %zu cpu_s %.3f per_frame_us %.1f worst_call_us %.1f (frame %zu) worst_after_first_us %.1f bits %llu\n",
              frames, total, frames ? total / frames * 1e6 : 0.0, worst * 1e6, worst_at, worst_later * 1e6,
              (unsigned long long)out);
  return cfg.error ? 1 : 0;
}
