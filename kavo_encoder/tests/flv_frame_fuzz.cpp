// Fuzzes the FLV writer with arbitrary frames: any bytes, any NAL map (offsets and lengths that
// need not fit the frame), any place in the ring (wrapping its end), any picture type, and the
// same bytes as an ADTS audio frame. The writer must refuse or write, never read outside the
// frame or the ring.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kavo/encoder/flvdestination.h"

namespace {

uint32_t u16(const uint8_t* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }

kavo::encoder::FLVDestiantion& destination() {
  static std::unique_ptr<kavo::encoder::FLVDestiantion> d = [] {
    char dir[] = "/tmp/kflvfz.XXXXXX";
    const std::string root = mkdtemp(dir);
    std::system(("mkdir -p " + root + "/dev && ln -sf /dev/null " + root + "/dev/null").c_str());
    setenv("KAVO_ROOT", root.c_str(), 1);
    static std::string folder = root;
    std::atexit([] { std::system(("rm -rf " + folder).c_str()); });
    kavo::encoder::StreamInfo info;
    info.channelId(0);
    info.uri("file:///dev/null");
    info.streamName("fuzz");
    return std::make_unique<kavo::encoder::FLVDestiantion>(info, nullptr);
  }();
  return *d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 1 + 9 * 2 + 2;
  if (size < kHead) return 0;
  auto& d = destination();
  const uint8_t flags = data[0];
  kavo::encoder::nal_map_t map;
  uint32_t* fields = &map.spsOffset;
  for (int i = 0; i < 9; i++) fields[i] = u16(data + 1 + 2 * i);
  const uint32_t start = u16(data + 19);
  const uint32_t frameSize = static_cast<uint32_t>(size - kHead);
  // A ring just large enough, holding the frame from `start` on, round its end.
  const uint32_t ringSize = frameSize + (flags & 0x40 ? 0 : 64);
  std::vector<uint8_t> ring(ringSize == 0 ? 1 : ringSize, 0xA5);
  const uint32_t offset = ringSize == 0 ? 0 : start % ringSize;
  for (uint32_t k = 0; k < frameSize; k++) ring[(offset + k) % ringSize] = data[kHead + k];

  kavo::encoder::video_frame_t frame;
  std::memset(&frame, 0, sizeof(frame));
  frame.ringBase = ring.data();
  frame.ringSize = ringSize;
  frame.desc.frameStart = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ring.data()) + offset);
  frame.desc.frameInfo = (frameSize << 8) | (flags & 7u);
  frame.frameSize = frameSize;
  frame.nalMap = flags & 0x08 ? nullptr : &map;
  static int64_t timestamp = 0;
  timestamp += flags & 0x10 ? -5 : 33;
  unsigned char level = 0;
  d.WriteVideoFrame(&frame, timestamp, level);
  if (flags & 0x20) d.SignalCodecsChanged();

  // The same bytes as one encoded audio frame.
  std::vector<uint8_t> adts(data + kHead, data + size);
  kavo::encoder::audio_frame_t audio;
  std::memset(&audio, 0, sizeof(audio));
  audio.config.output_buffer = adts.empty() ? nullptr : adts.data();
  audio.config.output_bits = static_cast<uint32_t>(adts.size() * 8 - (flags >> 7));
  audio.sampleRate = 44100;
  d.WriteAudioFrame(&audio, timestamp, level);
  return 0;
}
