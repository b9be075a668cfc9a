// FLV writing throughput of the containers (a file, one and three loopback peers) beside
// `ffmpeg -f h264 -i <same frames> -c copy -f flv` on the same frames, in the same run.
//
// The frames: 720p x264 frames cut by kavo_encoder/tests/data/flv_make_fixtures.py (made once per
// run into a temporary folder, or taken from KAVO_FLV_BENCH_FRAMES and the .h264 file beside it).
// Frames are placed round a ring like the driver's, so some wrap its end. At the end the ratios of
// ffmpeg's time to ours are printed.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flv_test_support.h"
#include "kavo/encoder/flvcontainer.h"
#include "kavo/test/frame_file.h"
#include "kavo/test/loopback.h"
#include "kavo/utils/clock.h"

namespace {

struct Input {
  std::string dir;
  std::string frames;
  std::string h264;
  std::vector<kavo::test::FrameRecord> list;
  uint64_t bytes = 0;
};

Input& input() {
  static Input in = [] {
    Input r;
    const char* given = std::getenv("KAVO_FLV_BENCH_FRAMES");
    // Outputs go to memory when the system has a tmpfs, so that the disk does not set the pace of
    // either writer.
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/kflvb.XXXXXX" : "/tmp/kflvb.XXXXXX";
    r.dir = mkdtemp(&pattern[0]);
    if (given != nullptr) {
      r.frames = given;
      r.h264 = r.frames.substr(0, r.frames.rfind('.')) + ".h264";
    } else {
      r.frames = r.dir + "/bench.frames";
      r.h264 = r.dir + "/bench.h264";
      const std::string cmd = std::string("python3 ") + KAVO_SOURCE_DIR +
                              "/kavo_encoder/tests/data/flv_make_fixtures.py " + r.frames +
                              " --size 1280x720 --bitrate 4M --frames 600 --keyint 30 --h264 " + r.h264 + " 2>/dev/null";
      if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not make the frames\n");
    }
    r.list = kavo::test::readFrameFile(r.frames);
    for (const auto& f : r.list) r.bytes += f.bytes.size();
    setenv("KAVO_ROOT", r.dir.c_str(), 1);
    mkdir((r.dir + "/tmp").c_str(), 0755);
    return r;
  }();
  return in;
}

// The frames placed round a ring once, the first of them across its end (as now and then on the
// camera); every pass hands out the same records.
struct Placed {
  std::unique_ptr<flvtest::Ring> ring;
  std::vector<kavo::encoder::video_frame_t> records;
  std::vector<kavo::encoder::nal_map_t> maps;
};

Placed& placed() {
  static Placed p = [] {
    Placed r;
    Input& in = input();
    uint64_t total = 0;
    for (const auto& f : in.list) total += (f.bytes.size() + 31) / 32 * 32;
    const uint32_t size = static_cast<uint32_t>(total + 65536);
    r.ring = std::make_unique<flvtest::Ring>(size);
    r.ring->setCursor(size - static_cast<uint32_t>(in.list[0].bytes.size() / 2) / 32 * 32);
    r.maps.resize(in.list.size());
    r.records.resize(in.list.size());
    for (size_t i = 0; i < in.list.size(); i++) {
      r.records[i] = r.ring->next(in.list[i]);
      r.maps[i] = r.ring->map();
      r.records[i].nalMap = &r.maps[i];
    }
    return r;
  }();
  return p;
}

kavo::ipc::messages::AVSerializer serializer(const std::vector<std::string>& destinations) {
  kavo::ipc::messages::AVSerializer s;
  s.type("flv");
  s.streamName("bench");
  kavo::variant::Variant list(kavo::variant::VariantType::Array);
  for (const auto& d : destinations) list[-1] = d;
  s.destinations(list);
  return s;
}

// One pass: every frame through the container; the time base moves on with each pass. Returns
// the number of frame writes that a destination dropped.
size_t pass(kavo::encoder::FLVContainer& c, uint64_t& pts) {
  size_t dropped = 0;
  for (auto& r : placed().records) {
    r.desc.pts = pts;
    pts += 33333333u;
    unsigned char level;
    c.WriteVideoFrame(&r, level);
    for (uint32_t i = 0; i < c.GetDestinationCount(); i++) dropped += c.GetDestination(i)->LastWriteDropped();
  }
  return dropped;
}

void BM_FlvToFile(benchmark::State& state) {
  Input& in = input();
  placed();
  uint64_t pts = 1000000000u;
  // One open file, as on the camera (its stream start is made before the clock runs).
  kavo::encoder::FLVContainer c(nullptr);
  auto s = serializer({"file:///tmp/bench.flv"});
  c.Open(s, flvtest::streamInfo("", 0));
  pass(c, pts);
  for (auto _ : state) pass(c, pts);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in.list.size()));
}

// A TCP peer that reads everything, on a thread of its own once started.
struct Peer {
  kavo::test::LoopbackListener listener;
  int fd = -1;
  std::thread reader;
  std::atomic<uint64_t> got{0};
  void start() {
    fd = listener.accept();
    reader = std::thread([this] {
      std::vector<uint8_t> buf(1 << 20);
      for (;;) {
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        got += static_cast<uint64_t>(n);
      }
    });
  }
  ~Peer() {
    if (reader.joinable()) reader.join();
    if (fd >= 0) close(fd);
  }
};

void BM_FlvToLoopback(benchmark::State& state) {
  Input& in = input();
  placed();
  const int peers = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<Peer>> list;
  std::vector<std::string> uris;
  for (int i = 0; i < peers; i++) {
    list.push_back(std::make_unique<Peer>());
    uris.push_back("tcp://127.0.0.1:" + std::to_string(list.back()->listener.port));
  }
  auto c = std::make_unique<kavo::encoder::FLVContainer>(nullptr);
  auto s = serializer(uris);
  c->Open(s, flvtest::streamInfo("", 0));
  uint64_t pts = 1000000000u;
  // Connected before the clock runs: pending connects are looked at after a second.
  for (int tries = 0; tries < 5; tries++) {
    bool all = true;
    for (int i = 0; i < peers; i++) all = all && c->GetDestination(static_cast<uint32_t>(i))->IsConnected();
    if (all) break;
    unsigned char level;
    c->WriteVideoFrame(&placed().records[0], level);
    kavo::utils::advanceMomentsForTest(1000);
  }
  for (auto& p : list) p->start();
  size_t dropped = 0;
  for (auto _ : state) {
    dropped += pass(*c, pts);
    // Until every backlog is out: the time covers the delivery to the sockets.
    for (uint32_t i = 0; i < c->GetDestinationCount(); i++) {
      auto* d = c->GetDestination(i);
      unsigned char level;
      while (d->GetBacklogSize() != 0 && d->IsConnected()) d->Write(nullptr, 0, 0, level);
    }
  }
  c.reset();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in.list.size()));
  state.counters["dropped"] = static_cast<double>(dropped);
  list.clear();
}

void BM_FfmpegCopy(benchmark::State& state) {
  Input& in = input();
  const std::string out = in.dir + "/ffmpeg.flv";
  for (auto _ : state) {
    const pid_t pid = fork();
    if (pid == 0) {
      execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", in.h264.c_str(), "-c", "copy", "-f",
             "flv", "-y", out.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("ffmpeg failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in.list.size()));
}

// What ffmpeg costs on one frame: its start and end, to read the ratio without them.
void BM_FfmpegStartup(benchmark::State& state) {
  Input& in = input();
  const std::string one = in.dir + "/one.h264";
  flvtest::writeFile(one, in.list[0].bytes);
  const std::string out = in.dir + "/one.flv";
  for (auto _ : state) {
    const pid_t pid = fork();
    if (pid == 0) {
      execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", one.c_str(), "-c", "copy", "-f", "flv",
             "-y", out.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("ffmpeg failed");
  }
}

BENCHMARK(BM_FlvToFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlvToLoopback)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FfmpegCopy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FfmpegStartup)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps the real time per pass of every run for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // A single run, or the median of repeated ones.
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      if (r.run_type == Run::RT_Iteration && r.repetitions <= 1) times[r.benchmark_name()] = r.GetAdjustedRealTime();
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        times[r.run_name.str()] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  input();
  std::printf("frames: %zu, %.1f MB of H.264 (%s)\n", input().list.size(), input().bytes / 1e6, input().frames.c_str());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto ff = reporter.times.find("BM_FfmpegCopy/real_time");
  const auto start = reporter.times.find("BM_FfmpegStartup/real_time");
  if (ff != reporter.times.end()) {
    for (const auto& [name, t] : reporter.times) {
      if (name.rfind("BM_Ffmpeg", 0) == 0) continue;
      std::printf("ffmpeg -c copy -f flv time / %s time: %.1f", name.c_str(), ff->second / t);
      if (start != reporter.times.end())
        std::printf(" (%.1f without ffmpeg's start and end)", (ff->second - start->second) / t);
      std::printf("\n");
    }
  }
  benchmark::Shutdown();
  // The folder holds the outputs (hundreds of megabytes in memory) and, unless they were given, the
  // frames: given frames lie elsewhere and stay.
  std::string cleanup = "rm -rf " + input().dir;
  std::system(cleanup.c_str());
  return 0;
}
