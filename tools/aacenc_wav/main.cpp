// aacenc_wav: encodes a 16-bit WAV file with the camera's AAC encoder.
// The encoder is driven exactly as the audio capture drives it: a zeroed configuration
// record and one zeroed block of channels x 768 + 106256 bytes, aacenc_setup, aacenc_open,
// then one aacenc_encode per frame, each frame written from the start of the output buffer.
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aacenc.h"
#include "wav.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: aacenc_wav [-f t|l|a|r] [-b bitrate] [-m 0|1|3] [-q 0..2] [-T] [-s sizes.txt] input.wav output\n"
               "  -f  transport: t ADTS (default), l LOAS, a ADIF, r raw data blocks\n"
               "  -b  total bit rate in bit/s (default 64000 per channel)\n"
               "  -m  0 AAC-LC (default), 1 with SBR, 3 SBR with parametric stereo\n"
               "  -q  quality level handed to the core coder (default 0)\n"
               "  -T  temporal noise shaping on\n"
               "  -s  write the length in bits of every frame, one per line\n"
               "  -t  print the CPU time of the encoding and of its slowest aacenc_encode call\n");
}

double threadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

bool parseUint(const char *s, unsigned long max, unsigned long &out) {
  if (!s || !*s) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(s, &end, 10);
  if (errno || *end || v > max || s[0] == '-') return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  char format = 't';
  unsigned long bitrate = 0, mode = 0, quality = 0;
  bool tns = false, timing = false;
  const char *sizes_path = nullptr;
  std::vector<const char *> files;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char *what) -> const char * {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "aacenc_wav: %s needs a value\n", what);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "-f") {
      const char *v = value("-f");
      if (std::strlen(v) != 1 || !std::strchr("tlar", v[0])) {
        std::fprintf(stderr, "aacenc_wav: unknown format '%s'\n", v);
        return 2;
      }
      format = v[0];
    } else if (a == "-b") {
      if (!parseUint(value("-b"), 100000000ul, bitrate)) {
        std::fprintf(stderr, "aacenc_wav: bad bit rate\n");
        return 2;
      }
    } else if (a == "-m") {
      if (!parseUint(value("-m"), 100ul, mode)) {
        std::fprintf(stderr, "aacenc_wav: bad mode\n");
        return 2;
      }
    } else if (a == "-q") {
      if (!parseUint(value("-q"), 100ul, quality)) {
        std::fprintf(stderr, "aacenc_wav: bad quality\n");
        return 2;
      }
    } else if (a == "-T") {
      tns = true;
    } else if (a == "-t") {
      timing = true;
    } else if (a == "-s") {
      sizes_path = value("-s");
    } else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else if (!a.empty() && a[0] == '-' && a.size() > 1) {
      std::fprintf(stderr, "aacenc_wav: unknown option %s\n", a.c_str());
      usage();
      return 2;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.size() != 2) {
    usage();
    return 2;
  }

  std::FILE *in = std::fopen(files[0], "rb");
  if (!in) {
    std::fprintf(stderr, "aacenc_wav: cannot open %s: %s\n", files[0], std::strerror(errno));
    return 1;
  }
  WavInfo wav;
  std::string err;
  if (!readWavHeader(in, wav, err)) {
    std::fprintf(stderr, "aacenc_wav: %s: %s\n", files[0], err.c_str());
    std::fclose(in);
    return 1;
  }
  std::fseek(in, wav.data_offset, SEEK_SET);

  aacenc_config_t cfg;
  std::memset(&cfg, 0, sizeof(cfg));
  const uint32_t channels = wav.channels;
  std::vector<uint8_t> block(AACENC_BLOCK_BYTES(channels), 0);
  cfg.sample_rate = wav.rate;
  cfg.core_sample_rate = wav.rate;
  cfg.channels_in = channels;
  cfg.channels_out = channels;
  cfg.mode = uint32_t(mode);
  cfg.tns_enabled = tns ? 1 : 0;
  cfg.format = format;
  cfg.bit_rate = bitrate ? uint32_t(bitrate) : 64000u * channels;
  cfg.quality = uint32_t(quality);
  cfg.output_buffer = block.data();
  cfg.work_memory = block.data() + AACENC_OUTPUT_BYTES(channels);

  aacenc_setup(&cfg);
  if (cfg.error) {
    std::fprintf(stderr, "aacenc_wav: the encoder refused the configuration (error %u)\n", cfg.error);
    std::fclose(in);
    return 1;
  }
  aacenc_open(&cfg);
  if (cfg.error) {
    std::fprintf(stderr, "aacenc_wav: the encoder did not open (error %u)\n", cfg.error);
    std::fclose(in);
    return 1;
  }

  std::FILE *out = std::fopen(files[1], "wb");
  if (!out) {
    std::fprintf(stderr, "aacenc_wav: cannot create %s: %s\n", files[1], std::strerror(errno));
    std::fclose(in);
    return 1;
  }
  std::FILE *sizes = sizes_path ? std::fopen(sizes_path, "w") : nullptr;
  if (sizes_path && !sizes) {
    std::fprintf(stderr, "aacenc_wav: cannot create %s: %s\n", sizes_path, std::strerror(errno));
    std::fclose(in);
    std::fclose(out);
    return 1;
  }

  const uint64_t per_call = (mode == 0 ? 1024u : 2048u);
  std::vector<int16_t> pcm(per_call * channels);
  uint64_t left = wav.frames, calls = 0;
  double cpu_total = 0, cpu_worst = 0;
  uint64_t worst_at = 0;
  int rc = 0;
  while (left > 0) {
    uint64_t take = left < per_call ? left : per_call;
    std::fill(pcm.begin(), pcm.end(), int16_t(0));
    size_t got = std::fread(pcm.data(), 2 * channels, size_t(take), in);
    if (got < take) left = got;  // the file ended early: code what it holds
    left -= got;
    if (got == 0) break;
    for (auto &s : pcm) {  // WAV samples are little-endian
      uint16_t u = uint16_t(s);
      const unsigned char *b = reinterpret_cast<const unsigned char *>(&u);
      s = int16_t(b[0] | (b[1] << 8));
    }
    cfg.input_pcm = pcm.data();
    const double t0 = timing ? threadCpuSeconds() : 0.0;
    aacenc_encode(&cfg);
    if (timing) {
      const double dt = threadCpuSeconds() - t0;
      cpu_total += dt;
      if (dt > cpu_worst) {
        cpu_worst = dt;
        worst_at = calls;
      }
    }
    calls++;
    if (cfg.error) {
      std::fprintf(stderr, "aacenc_wav: encoding failed (error %u)\n", cfg.error);
      rc = 1;
      break;
    }
    size_t bytes = cfg.output_bits / 8u;
    if (std::fwrite(cfg.output_buffer, 1, bytes, out) != bytes) {
      std::fprintf(stderr, "aacenc_wav: write failed: %s\n", std::strerror(errno));
      rc = 1;
      break;
    }
    if (sizes) std::fprintf(sizes, "%u\n", cfg.output_bits);
  }
  AacEncClose(aacenc_core_handle(&cfg));
  if (timing && calls > 0) {
    const double audio_s = double(calls * per_call) / wav.rate;
    std::printf("calls %llu audio_s %.3f encode_cpu_s %.4f cpu_per_audio_s %.5f mean_call_us %.1f worst_call_us %.1f (call %llu)\n",
                (unsigned long long)calls, audio_s, cpu_total, cpu_total / audio_s, cpu_total / double(calls) * 1e6,
                cpu_worst * 1e6, (unsigned long long)worst_at);
  }
  std::fclose(in);
  if (sizes && std::fclose(sizes) != 0) rc = 1;
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "aacenc_wav: write failed: %s\n", std::strerror(errno));
    rc = 1;
  }
  return rc;
}
