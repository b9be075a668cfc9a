// aac_speed: encodes a 16-bit WAV file (AAC-LC, ADTS) in memory and reports the CPU time of
// the whole run, per frame, and the worst single aacenc_encode call (thread CPU time).
// Usage: aac_speed input.wav bitrate [frames [runs]]   (frames limits the run, e.g. under
// callgrind; runs: repetitions, default 3; cpu_s is the fastest run)
#include <time.h>

#include <algorithm>
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
    std::fprintf(stderr, "usage: aac_speed input.wav bitrate [frames [runs]]\n");
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

  // Each run opens the encoder afresh, so every run codes the same frames the same way.  The
  // worst call of one run is at the mercy of the shared machine (interrupts, cache losses
  // count as thread time); the least time of each frame over the runs is the frame's own cost,
  // and the worst of those is the worst call that the encoder itself causes.
  const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  std::vector<double> best(frames, 1e30);
  double total = 1e30, worst = 0;
  size_t worst_at = 0;
  uint64_t out = 0;
  std::vector<uint8_t> block(AACENC_BLOCK_BYTES(ch), 0);
  aacenc_config_t cfg;
  for (int run = 0; run < runs; run++) {
    std::fill(block.begin(), block.end(), 0);
    std::memset(&cfg, 0, sizeof(cfg));
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
    out = 0;
    double t0 = cpuNow();
    for (size_t i = 0; i < frames; i++) {
      cfg.input_pcm = pcm.data() + i * 1024 * ch;
      double a = cpuNow();
      aacenc_encode(&cfg);
      double b = cpuNow();
      if (b - a > worst) {
        worst = b - a;
        worst_at = i;
      }
      best[i] = std::min(best[i], b - a);
      out += cfg.output_bits;
    }
    total = std::min(total, cpuNow() - t0);
  }
  size_t own_at = 0;
  for (size_t i = 1; i < frames; i++)
    if (best[i] > best[own_at]) own_at = i;
  std::printf("frames %zu runs %d cpu_s %.3f per_frame_us %.1f worst_call_us %.1f (frame %zu) "
              "worst_own_call_us %.1f (frame %zu) bits %llu\n",
              frames, runs, total, frames ? total / frames * 1e6 : 0.0, worst * 1e6, worst_at,
              frames ? best[own_at] * 1e6 : 0.0, own_at, (unsigned long long)out);
  return cfg.error ? 1 : 0;
}
