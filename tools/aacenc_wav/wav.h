// Minimal reader of 16-bit PCM WAV files (RIFF/WAVE, PCM or extensible PCM).
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

struct WavInfo {
  uint32_t rate = 0;
  uint32_t channels = 0;
  uint64_t frames = 0;       // sample frames in the data chunk (what the file really holds)
  long data_offset = 0;
};

// Parses the header of `f`; on failure returns false with a message in `err`.
bool readWavHeader(std::FILE *f, WavInfo &info, std::string &err);
