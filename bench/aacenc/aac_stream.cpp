// aac_stream: encodes a 16-bit WAV file in mode 0 (AAC-LC, ADTS) as the audio capture drives
// the encoder and writes the stream, then reports what the corpus check judges: the total
// bits against bit rate x duration, the maximum reservoir of the elements, the frames whose
// counted bits ran over the element maxima, and the longest frame.  Whatever the encoder
// prints goes to stderr untouched (the check wants it empty).
// Usage: aac_stream input.wav bitrate output.aac [quality] [tns]
// Prints: frames bits target_bits max_reservoir_bits too_long longest_frame_bits max_frame_bits
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aac_core.h"
#include "aacenc.h"
#include "pcm_wav.h"

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: aac_stream input.wav bitrate output.aac [quality] [tns]\n");
    return 2;
  }
  PcmWav w;
  if (!readPcmWav(argv[1], w)) {
    std::fprintf(stderr, "aac_stream: %s: not a 16-bit mono or stereo WAV file\n", argv[1]);
    return 1;
  }
  const uint32_t ch = w.channels;
  const size_t frames = w.pcm.size() / (1024 * ch);
  aacenc_config_t cfg;
  std::memset(&cfg, 0, sizeof(cfg));
  std::vector<uint8_t> block(AACENC_BLOCK_BYTES(ch), 0);
  cfg.sample_rate = w.rate;
  cfg.channels_in = ch;
  cfg.bit_rate = uint32_t(std::atol(argv[2]));
  cfg.format = 't';
  cfg.quality = argc > 4 ? uint32_t(std::atoi(argv[4])) : 0;
  cfg.tns_enabled = argc > 5 ? uint32_t(std::atoi(argv[5])) : 0;
  cfg.output_buffer = block.data();
  cfg.work_memory = block.data() + AACENC_OUTPUT_BYTES(ch);
  aacenc_setup(&cfg);
  aacenc_open(&cfg);
  if (cfg.error) {
    std::fprintf(stderr, "aac_stream: encoder refused (error %u)\n", cfg.error);
    return 1;
  }
  FILE *out = std::fopen(argv[3], "wb");
  if (!out) return 1;
  uint64_t bits = 0;
  uint32_t longest = 0;
  for (size_t i = 0; i < frames; i++) {
    cfg.input_pcm = w.pcm.data() + i * 1024 * ch;
    aacenc_encode(&cfg);
    if (cfg.error) {
      std::fprintf(stderr, "aac_stream: frame %zu: error %u\n", i, cfg.error);
      std::fclose(out);
      return 1;
    }
    std::fwrite(cfg.output_buffer, 1, cfg.output_bits / 8, out);
    bits += cfg.output_bits;
    if (cfg.output_bits > longest) longest = cfg.output_bits;
  }
  std::fclose(out);
  const AacCoreState *core = static_cast<const AacCoreState *>(aacenc_core_handle(&cfg));
  int32_t max_res = 0, max_bits = 0;
  for (int e = 0; e < core->elements.n_elements; e++) {
    max_res += core->elem_bits[e].max_bit_res_bits;
    max_bits += core->elem_bits[e].max_bits;
  }
  double target = double(cfg.bit_rate) * 1024.0 * double(frames) / w.rate;
  std::printf("%zu %llu %.0f %d %d %u %d\n", frames, (unsigned long long)bits, target, max_res, core->too_long,
              longest, max_bits);
  return 0;
}
