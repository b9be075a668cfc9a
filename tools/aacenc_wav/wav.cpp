#include "wav.h"

#include <cstring>

namespace {
uint32_t le32(const unsigned char *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t le16(const unsigned char *p) { return uint16_t(p[0] | (p[1] << 8)); }
}  // namespace

bool readWavHeader(std::FILE *f, WavInfo &info, std::string &err) {
  unsigned char riff[12];
  if (std::fread(riff, 1, 12, f) != 12 || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    err = "not a RIFF/WAVE file";
    return false;
  }
  bool have_fmt = false;
  long pos = 12;
  for (int chunks = 0; chunks < 1000; chunks++) {
    unsigned char hdr[8];
    if (std::fread(hdr, 1, 8, f) != 8) {
      err = have_fmt ? "no data chunk" : "no fmt chunk";
      return false;
    }
    pos += 8;
    uint32_t size = le32(hdr + 4);
    if (std::memcmp(hdr, "fmt ", 4) == 0) {
      if (size < 16 || size > 4096) {
        err = "bad fmt chunk size";
        return false;
      }
      unsigned char fmt[4096];
      if (std::fread(fmt, 1, size, f) != size) {
        err = "truncated fmt chunk";
        return false;
      }
      uint16_t tag = le16(fmt);
      if (tag == 0xFFFE && size >= 40) tag = le16(fmt + 24);  // extensible: sub-format GUID starts with the tag
      if (tag != 1) {
        err = "not PCM";
        return false;
      }
      info.channels = le16(fmt + 2);
      info.rate = le32(fmt + 4);
      uint16_t bits = le16(fmt + 14);
      if (bits != 16) {
        err = "only 16-bit samples are supported";
        return false;
      }
      if (info.channels < 1 || info.channels > 2) {
        err = "only 1 or 2 channels are supported";
        return false;
      }
      have_fmt = true;
      pos += long(size);
      if (size & 1) {
        std::fseek(f, 1, SEEK_CUR);
        pos++;
      }
    } else if (std::memcmp(hdr, "data", 4) == 0) {
      if (!have_fmt) {
        err = "data chunk before fmt chunk";
        return false;
      }
      info.data_offset = pos;
      // A streamed file may carry a placeholder size: take what the file really holds.
      long here = std::ftell(f);
      std::fseek(f, 0, SEEK_END);
      long end = std::ftell(f);
      std::fseek(f, here, SEEK_SET);
      uint64_t avail = end > here ? uint64_t(end - here) : 0;
      uint64_t bytes = size < avail ? size : avail;
      info.frames = bytes / (2u * info.channels);
      return true;
    } else {
      if (std::fseek(f, long(size) + (size & 1), SEEK_CUR) != 0) {
        err = "truncated chunk";
        return false;
      }
      pos += long(size) + long(size & 1);
    }
  }
  err = "too many chunks";
  return false;
}
