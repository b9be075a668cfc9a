// kavo_flv_test_writer: feeds frame fixtures (and ADTS audio) through one FLV or MJPEG container,
// as the streamer's loop does, for the cross-process tests. Frames are placed round a ring like
// the driver's, so some of them wrap its end; the status events go to "kavo_avclient" through the
// process-wide IPC hub.
//
//   kavo_flv_test_writer --frames F.frames --destinations '["tcp://127.0.0.1:5000"]'
//       [--type flv|mjpg] [--adts F.aac] [--fps 30 (0: as fast as possible)] [--seconds S]
//       [--count N] [--acceptor] [--ring BYTES] [--report N]
//
// Standard output, one line each (flushed): "port P" whenever the live-view acceptor listens on a
// new port; "frame I level L backlog B" every N frames (B: the first destination's backlog);
// "rss KB" at the start and the end; "done".
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "flv_test_support.h"
#include "kavo/encoder/basecontainer.h"
#include "kavo/encoder/flvcontainer.h"
#include "kavo/ipc/ipc.h"
#include "kavo/test/frame_file.h"
#include "kavo/utils/clock.h"

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) { g_stop = true; }

long rssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// The ADTS frames of a file, split by their frame_length fields.
std::vector<flvtest::Bytes> readAdts(const std::string& path, uint32_t& rate) {
  static const uint32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};
  const flvtest::Bytes data = flvtest::readFile(path);
  std::vector<flvtest::Bytes> frames;
  size_t at = 0;
  while (at + 7 <= data.size() && data[at] == 0xFF && (data[at + 1] & 0xF0) == 0xF0) {
    const size_t length = ((data[at + 3] & 3u) << 11) | (data[at + 4] << 3) | (data[at + 5] >> 5);
    if (length < 7 || at + length > data.size()) break;
    const unsigned index = (data[at + 2] >> 2) & 0x0F;
    rate = index < 13 ? rates[index] : 0;
    frames.emplace_back(data.begin() + at, data.begin() + at + length);
    at += length;
  }
  return frames;
}

}  // namespace

int main(int argc, char** argv) {
  std::string framesPath, adtsPath, type = "flv", destinations = "[]";
  double fps = 30;
  double seconds = 0;
  long count = 0;
  bool acceptor = false;
  uint32_t ringSize = 1u << 20;
  long report = 0;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--frames") framesPath = next();
    else if (a == "--adts") adtsPath = next();
    else if (a == "--type") type = next();
    else if (a == "--destinations") destinations = next();
    else if (a == "--fps") fps = std::atof(next().c_str());
    else if (a == "--seconds") seconds = std::atof(next().c_str());
    else if (a == "--count") count = std::atol(next().c_str());
    else if (a == "--acceptor") acceptor = true;
    else if (a == "--ring") ringSize = static_cast<uint32_t>(std::atol(next().c_str()));
    else if (a == "--report") report = std::atol(next().c_str());
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);  // a peer that closes its socket must never end the writer
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);

  std::vector<flvtest::Frame> frames = kavo::test::readFrameFile(framesPath);
  if (frames.empty()) {
    std::fprintf(stderr, "no frames in %s\n", framesPath.c_str());
    return 2;
  }
  uint32_t audioRate = 0;
  std::vector<flvtest::Bytes> audio = adtsPath.empty() ? std::vector<flvtest::Bytes>() : readAdts(adtsPath, audioRate);

  kavo::ipc::Ipc::GetInstance()->Init("kavo_streamer", true);

  kavo::variant::Variant list;
  if (list.FromJSON(destinations) == 0) {
    std::fprintf(stderr, "bad destinations\n");
    return 2;
  }
  kavo::ipc::messages::AVSerializer serializer;
  serializer.type(type);
  serializer.streamName("test");
  serializer.destinations(list);
  kavo::encoder::StreamInfo info = flvtest::streamInfo("", 0);
  kavo::encoder::BaseContainer* container = kavo::encoder::BaseContainer::GetInstance(serializer, info, nullptr);
  if (container == nullptr) {
    std::fprintf(stderr, "no container\n");
    return 1;
  }
  auto* flv = container->GetType() == kavo::encoder::CONTAINER_FLV ? static_cast<kavo::encoder::FLVContainer*>(container)
                                                                   : nullptr;
  unsigned short port = 0;
  if (acceptor && (flv == nullptr || !flv->ActivateAcceptor(port))) {
    std::fprintf(stderr, "no acceptor\n");
    return 1;
  }
  if (port != 0) std::printf("port %u\n", port);
  std::printf("rss %ld\n", rssKb());
  std::fflush(stdout);

  flvtest::Ring ring(ringSize);
  kavo::encoder::audio_frame_t record;
  std::memset(&record, 0, sizeof(record));
  record.sampleRate = audioRate;
  const uint64_t startMs = kavo::utils::nowMs();
  const uint64_t startNs = startMs * 1000000u;
  record.timeBase = static_cast<int64_t>(startMs);
  size_t nextAudio = 0;
  unsigned short lastPort = port;

  for (long i = 0; !g_stop; i++) {
    if (count > 0 && i >= count) break;
    const uint64_t dueMs = fps > 0 ? startMs + static_cast<uint64_t>(static_cast<double>(i) * 1000.0 / fps) : 0;
    if (seconds > 0 && kavo::utils::nowMs() - startMs > static_cast<uint64_t>(seconds * 1000)) break;
    while (fps > 0 && kavo::utils::nowMs() < dueMs && !g_stop) {
      kavo::ipc::Ipc::GetInstance()->Service(0);
      usleep(2000);
    }
    flvtest::Frame& f = frames[static_cast<size_t>(i) % frames.size()];
    f.pts = startNs + static_cast<uint64_t>(static_cast<double>(i) * 1e9 / (fps > 0 ? fps : 30));
    const int64_t videoMs = static_cast<int64_t>(f.pts / 1000000u);
    // Audio frames up to this video frame's time.
    while (!audio.empty() && audioRate != 0) {
      record.sampleCount = static_cast<int64_t>(nextAudio) * 1024;
      if (kavo::encoder::FLVContainer::AudioTimestamp(record) > videoMs) break;
      flvtest::Bytes& a = audio[nextAudio % audio.size()];
      record.config.output_buffer = a.data();
      record.config.output_bits = static_cast<uint32_t>(a.size() * 8);
      unsigned char ignored;
      container->WriteAudioFrame(&record, ignored);
      nextAudio++;
    }
    unsigned char level = 0;
    container->WriteVideoFrame(&ring.next(f), level);
    kavo::ipc::Ipc::GetInstance()->Service(0);
    if (flv != nullptr && flv->GetAcceptor() != nullptr) {
      const unsigned short now = flv->GetAcceptor()->GetAcceptorPort();
      if (now != 0 && now != lastPort) {
        std::printf("port %u\n", now);
        std::fflush(stdout);
      }
      lastPort = now;
    }
    if (report > 0 && i % report == 0) {
      const size_t backlog = flv != nullptr && flv->GetDestination(0) ? flv->GetDestination(0)->GetBacklogSize() : 0;
      std::printf("frame %ld level %u backlog %zu\n", i, level, backlog);
      std::fflush(stdout);
    }
  }
  delete container;
  // Let the last status events leave.
  for (int i = 0; i < 20; i++) {
    kavo::ipc::Ipc::GetInstance()->Service(10);
  }
  std::printf("rss %ld\n", rssKb());
  std::printf("done\n");
  std::fflush(stdout);
  kavo::ipc::Ipc::FreeInstance();
  return 0;
}
