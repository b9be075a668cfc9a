// The encoder library with real peers: Python stand-ins of the neighbouring processes, ffmpeg as
// a TCP receiver and a live viewer, a slow TCP reader; the streams judged by ffprobe/ffmpeg and
// the driver requests read from the simulated DSP's journal.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "kavo/encoder/encoder.h"
#include "kavo/encoder/videoencoder.h"
#include "kavo/ipc/ipc.h"
#include "kavo/logger/logger.h"
#include "kavo/os/path.h"
#include "kavo/test/loopback.h"
#include "../../kavo_encoder/tests/video_test_support.h"

extern char** environ;

namespace {

using namespace videotest;
using kavo::encoder::Encoder;
using kavo::logger::LogCapture;

std::string here() { return kavo::test::sourceDir() + "/tests/video"; }

// ffmpeg decodes an FLV to nothing, stopping at the first error. Its null output counts video in
// ticks of the frame rate, onto which two frames of millisecond times (33 or 34 ms apart at 30 fps)
// can round when the stream starts near half a tick; counted in milliseconds, only a real repeat
// is reported.
Shell decodeFlv(const std::string& path) {
  return shell("ffmpeg -nostdin -v error -xerror -i " + path + " -enc_time_base:v 1:1000 -f null -");
}

// A child process, killed (by its id) if still running at the end.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (::posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
  }
  ~Child() {
    if (pid_ > 0 && !done_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool running() const { return pid_ > 0; }
  // The exit status, or -1 when it did not end in time.
  int wait(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done_) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        done_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
  }
  bool exited() {
    return wait(0) != -1;
  }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int status_ = -1;
};

bool waitFor(const std::function<bool()>& condition, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool exists(const std::string& file) {
  struct stat st;
  return ::stat(file.c_str(), &st) == 0;
}

std::string readFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A port nobody listens on at the moment.
unsigned short freePort() { return kavo::test::LoopbackListener().port; }

json serializer(const std::string& type, std::vector<std::string> destinations, const std::string& name) {
  return {{"type", type}, {"streamName", name}, {"destinations", destinations}};
}

class VideoProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);  // a peer that closes its socket must not end the test
    kavo::sim::iav::resetState();
    simConfig(root);
    out = root.dir() + "/out";
    ::mkdir(out.c_str(), 0755);
    root.mkdirs("/var/media");
  }
  void TearDown() override {
    kavo::ipc::Ipc::FreeInstance();
    kavo::sim::iav::resetState();
  }
  std::string media(const std::string& name) { return root.path("/var/media/" + name); }

  kavo::test::TestRoot root;
  std::string out;
};

// The escalation's requests reach the analytics, OSD and ISP stand-ins in their order.
TEST_F(VideoProcess, EscalationRequestsReachThePeers) {
  const std::string received = out + "/received.jsonl", ready = out + "/ready";
  Child peers({"python3", here() + "/ipc_peers.py", received, ready, "kavo_analytics", "kavo_osd", "kavo_ispserver"});
  ASSERT_TRUE(peers.running());
  ASSERT_TRUE(waitFor([&] { return exists(ready); }, 10000));
  kavo::ipc::Ipc* ipc = kavo::ipc::Ipc::GetInstance();
  ASSERT_TRUE(ipc->Init("kavo_streamer", false));

  EncoderSettings settings = settingsOf(threeStreams());
  VideoEncoder encoder(settings, nullptr);
  ASSERT_TRUE(encoder.Open());
  ASSERT_TRUE(encoder.StartEncode());
  ASSERT_TRUE(kavo::sim::iav::setFaults(R"({"faults": [{"frame": "gap", "after": 5, "skip": 1},
      {"request": "IAV_IOC_START_ENCODE_EX", "nth": 1, "errno": "EIO"}]})"));
  LogCapture log;
  for (int i = 0; i < 12; ++i) {
    encoder.GetFrame();
    ipc->Service(0);
  }
  ASSERT_TRUE(log.has("Start Encoding Failed!", LOG_LEVEL_ERROR)) << log.dump();
  auto messages = [&] {
    std::vector<json> m;
    std::istringstream in(readFile(received));
    std::string line;
    while (std::getline(in, line)) m.push_back(json::parse(line));
    return m;
  };
  ASSERT_TRUE(waitFor(
      [&] {
        ipc->Service(10);
        return messages().size() >= 6;
      },
      20000))
      << readFile(received);
  std::ofstream(received + ".stop").close();
  EXPECT_EQ(peers.wait(10000), 0);

  std::vector<json> got = messages();
  ASSERT_EQ(got.size(), 6u);
  // The hub gives each request a rising id: the order in which they were sent.
  std::sort(got.begin(), got.end(), [](const json& a, const json& b) { return a["id"] < b["id"]; });
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"AnalyticsInterrupt", "kavo_analytics"}, {"ReloadOsdSettings", "kavo_osd"},
      {"ReInitIsp", "kavo_ispserver"},          {"ResetAllIspSettings", "kavo_ispserver"},
      {"ReloadIspSettings", "kavo_ispserver"},  {"ChangeIspSettings", "kavo_ispserver"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(got[i].dump());
    EXPECT_EQ(got[i]["functionName"], expected[i].first);
    EXPECT_EQ(got[i]["to"], expected[i].second);
    EXPECT_EQ(got[i]["_peer"], expected[i].second);
    EXPECT_EQ(got[i]["responseExpected"], false);
  }
  EXPECT_EQ(got[0]["from"], "kavo_streamer");
  EXPECT_EQ(got[0]["interruptTimeoutMs"], 10000);
  EXPECT_EQ(got[0]["reason"], "Corrupt video frame");
  EXPECT_EQ(got[0]["sendClosure"], true);
  // Encoding runs again.
  int frames = 0;
  for (int i = 0; i < 20; ++i) frames += encoder.GetFrame() != nullptr;
  EXPECT_EQ(frames, 20);
}

// The facade with an FLV file, an FLV TCP receiver and MJPEG pictures.
TEST_F(VideoProcess, EncoderWritesFilesAndATcpStream) {
  const unsigned short port = freePort();
  const std::string received = out + "/tcp.flv";
  Child receiver({"ffmpeg", "-nostdin", "-v", "error", "-analyzeduration", "1000000", "-f", "flv", "-listen", "1", "-i",
                  "tcp://127.0.0.1:" + std::to_string(port), "-c", "copy", "-y", received});
  ASSERT_TRUE(receiver.running());
  ASSERT_TRUE(waitFor([&] { return kavo::test::loopbackListening(port); }, 20000));

  json doc = threeStreams();
  doc["video"]["video1"]["avSerializer"] = serializer("flv", {"file:///var/media/one.flv"}, "one");
  doc["video"]["video2"]["avSerializer"] =
      serializer("flv", {"tcp://127.0.0.1:" + std::to_string(port) + "?retryInterval=1"}, "two");
  doc["video"]["mjpg"]["avSerializer"] = serializer("mjpg", {"file:///var/media/pic.jpg"}, "pic");
  EncoderSettings settings = settingsOf(doc);
  {
    Encoder encoder;
    ASSERT_TRUE(encoder.Open(settings));
    ASSERT_TRUE(encoder.StartEncode());
    // Enough stream time for the receiver to find the codec parameters. The virtual clock
    // hands out frames as fast as they are read, while the pending connect is looked at after
    // a second of real time: pace the loop so that most of the frames reach the receiver.
    for (int i = 0; i < 1500; ++i) {
      encoder.EncodeFrames();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }  // closing ends the TCP stream
  ASSERT_EQ(receiver.wait(20000), 0);

  struct Output {
    std::string file;
    const char* size;
  };
  for (const Output& o : {Output{media("one.flv"), "640,360"}, Output{received, "320,180"}}) {
    SCOPED_TRACE(o.file);
    const Shell decoded = decodeFlv(o.file);
    EXPECT_EQ(decoded.out, "");
    EXPECT_EQ(decoded.status, 0);
    const Shell probe = shell("ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height "
                              "-of csv=p=0 " + o.file);
    EXPECT_EQ(probe.out, std::string("h264,") + o.size + "\n");
    // FLV carries milliseconds: 33 ms apart is the configured 30 frames per second.
    const Shell rate = shell("ffprobe -v error -select_streams v -show_entries stream=avg_frame_rate -of csv=p=0 " + o.file);
    unsigned num = 0, den = 1;
    ASSERT_EQ(std::sscanf(rate.out.c_str(), "%u/%u", &num, &den), 2) << rate.out;
    EXPECT_NEAR(static_cast<double>(num) / den, 30.0, 0.5) << rate.out;
    const Shell frames = shell("ffprobe -v error -select_streams v -count_frames -show_entries stream=nb_read_frames "
                               "-of csv=p=0 " + o.file);
    EXPECT_GT(std::stoi(frames.out), 100);
  }
  const Shell picture = shell("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 " +
                              media("pic.jpg"));
  EXPECT_EQ(picture.out, "mjpeg,320,180\n");
  EXPECT_FALSE(exists(media("pic.jpg.tmp")));
  // The pictures' rate: the scene numbers of the last picture and of the file's last frame stand
  // as 5 to 30.
  const std::string reader = "python3 " + kavo::test::sourceDir() + "/sim/iav/tools/read_frame_numbers.py";
  const std::vector<std::string> pictureNumber = lines(
      shell("ffmpeg -nostdin -v error -i " + media("pic.jpg") + " -f rawvideo -pix_fmt gray - | " + reader + " 320 180").out);
  const std::vector<std::string> frameNumbers = lines(
      shell("ffmpeg -nostdin -v error -i " + media("one.flv") + " -f rawvideo -pix_fmt gray - | " + reader + " 640 360").out);
  ASSERT_EQ(pictureNumber.size(), 1u);
  ASSERT_FALSE(frameNumbers.empty());
  const double pictures = std::stod(pictureNumber[0]), frames = std::stod(frameNumbers.back());
  ASSERT_GT(pictures, 50);
  EXPECT_NEAR(frames / pictures, 6.0, 0.3) << frames << " frames, " << pictures << " pictures";
}

// A live change through the facade: the running stream takes the new rate, bitrate and file, and
// the new file starts with a key frame.
TEST_F(VideoProcess, LiveChangeMovesTheStreamToNewSettings) {
  json doc = threeStreams();
  doc["video"]["video1"]["avSerializer"] = serializer("flv", {"file:///var/media/before.flv"}, "one");
  EncoderSettings settings = settingsOf(doc);
  Encoder encoder;
  ASSERT_TRUE(encoder.Open(settings));
  ASSERT_TRUE(encoder.StartEncode());
  for (int i = 0; i < 200; ++i) encoder.EncodeFrames();
  const uint64_t mark = lastSeq();
  json change = {{"functionName", "ChangeVideoSettings"},
                 {"video", {{"video1", {{"fps", 15}, {"bitRateVbrMax", 800000},
                                        {"avSerializer", serializer("flv", {"file:///var/media/after.flv"}, "one")}}}}}};
  kavo::variant::Variant v;
  const std::string text = change.dump();
  v.FromJSON(text.data(), text.size());
  kavo::ipc::messages::ChangeVideoSettings request{kavo::ipc::messages::BaseMessage(v)};
  ASSERT_TRUE(encoder.UpdateSettings(request));
  EXPECT_EQ(requests("IAV_IOC_FORCE_IDR_EX", mark).size(), 3u);
  auto current = const_cast<EncoderSettings&>(encoder.GetCurrentSettings()).video().video1();
  EXPECT_EQ(current.fps(), 15);
  EXPECT_EQ(current.bitRateVbrMax(), 800000u);
  for (int i = 0; i < 300; ++i) encoder.EncodeFrames();
  encoder.Close();
  for (const char* f : {"before.flv", "after.flv"})
    EXPECT_EQ(decodeFlv(media(f)).out, "") << f;
  const Shell first = shell("ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 " +
                            media("after.flv") + " | head -1");
  EXPECT_EQ(first.out, "K_\n");
  const Shell rate = shell("ffprobe -v error -select_streams v -show_entries stream=avg_frame_rate -of csv=p=0 " +
                           media("after.flv"));
  unsigned num = 0, den = 1;
  ASSERT_EQ(std::sscanf(rate.out.c_str(), "%u/%u", &num, &den), 2) << rate.out;
  EXPECT_NEAR(static_cast<double>(num) / den, 15.0, 0.5) << rate.out;
}

// The live-view acceptor: ffmpeg connects to the port it gives and decodes the stream.
TEST_F(VideoProcess, LiveViewPortServesAViewer) {
  json doc = threeStreams();
  doc["video"]["video2"]["avSerializer"] = serializer("flv", {"file:///dev/null"}, "live");
  EncoderSettings settings = settingsOf(doc);
  Encoder encoder;
  ASSERT_TRUE(encoder.Open(settings));
  ASSERT_TRUE(encoder.StartEncode());
  unsigned short port = 0;
  ASSERT_TRUE(encoder.EnableLiveVideo(port));
  ASSERT_NE(port, 0);
  const std::string log = out + "/viewer.log";
  Child viewer({"sh", "-c", "ffmpeg -nostdin -v error -analyzeduration 1000000 -f flv -i tcp://127.0.0.1:" + std::to_string(port) +
                                " -frames:v 60 -f null - > " + log + " 2>&1"});
  ASSERT_TRUE(waitFor(
      [&] {
        encoder.EncodeFrames();
        return viewer.exited();
      },
      30000));
  EXPECT_EQ(viewer.wait(0), 0);
  EXPECT_EQ(readFile(log), "");
}

// A TCP peer that reads at a fraction of the stream's rate: the bitrates step down to the floor;
// once it keeps up they climb back. The steps are those of the adaptation, read from the journal.
TEST_F(VideoProcess, BitratesFollowTheCongestionOfASlowPeer) {
  simConfig(root, {{"journalFrames", false}});
  const std::string portFile = out + "/port", received = out + "/slow.flv", fast = out + "/fast";
  Child reader({"python3", here() + "/slow_reader.py", portFile, received, fast, "40000"});
  ASSERT_TRUE(waitFor([&] { return exists(portFile); }, 10000));
  const std::string port = readFile(portFile);

  json doc;
  doc["video"]["video1"] = stream(640, 360, 30, {{"bitRateVbrMax", 1500000}, {"bitRateCbrAvg", 1500000}});
  doc["video"]["video1"]["avSerializer"] =
      serializer("flv", {"tcp://127.0.0.1:" + port + "?retryInterval=1", "file:///var/media/copy.flv"}, "slow");
  EncoderSettings settings = settingsOf(doc);
  Encoder encoder;
  ASSERT_TRUE(encoder.Open(settings));
  const uint64_t mark = lastSeq();
  ASSERT_TRUE(encoder.StartEncode());
  auto maxima = [&] {
    std::vector<uint32_t> out;
    for (const json& j : requests("IAV_IOC_SET_BITRATE_EX", mark)) out.push_back(j["arg"]["max"].get<uint32_t>());
    return out;
  };
  // Slow: down to the floor.
  ASSERT_TRUE(waitFor(
      [&] {
        for (int i = 0; i < 20; ++i) encoder.EncodeFrames();
        const std::vector<uint32_t> m = maxima();
        return !m.empty() && m.back() == 32000;
      },
      60000))
      << ::testing::PrintToString(maxima());
  const size_t downs = maxima().size();
  // Fast: the backlog drains, and after 300 calls at level 0 each step raises the rate.
  std::ofstream(fast).close();
  ASSERT_TRUE(waitFor(
      [&] {
        for (int i = 0; i < 20; ++i) encoder.EncodeFrames();
        const std::vector<uint32_t> m = maxima();
        return m.back() >= 400000;
      },
      90000))
      << ::testing::PrintToString(maxima());
  encoder.Close();
  EXPECT_EQ(reader.wait(20000), 0);

  const std::vector<uint32_t> m = maxima();
  std::string steps;
  for (uint32_t v : m) steps += " " + std::to_string(v);
  std::printf("bitrate steps:%s\n", steps.c_str());
  ASSERT_GT(m.size(), downs);
  EXPECT_EQ(m[0], 1350000u) << "the first step is 0.9 of the maximum";
  for (size_t i = 1; i < downs; ++i) {
    const uint32_t expected = std::max<uint32_t>(32000, static_cast<uint32_t>(m[i - 1] * 0.9));
    EXPECT_EQ(m[i], expected) << "down step " << i;
  }
  double growth = 1.1;
  for (size_t i = downs; i < m.size(); ++i) {
    growth = std::min(growth + 0.05, 2.0);
    EXPECT_EQ(m[i], std::min<uint32_t>(1500000, static_cast<uint32_t>(m[i - 1] * growth))) << "up step " << i;
  }

  // The stream itself: packets shrink with the rate and grow again.
  const Shell sizes = shell("ffprobe -v error -select_streams v -show_entries packet=size -of csv=p=0 " +
                            media("copy.flv"));
  std::vector<double> packets;
  for (const std::string& l : lines(sizes.out))
    if (!l.empty()) packets.push_back(std::stod(l));
  ASSERT_GT(packets.size(), 300u);
  auto mean = [&](size_t from, size_t count) {
    double sum = 0;
    for (size_t i = from; i < from + count; ++i) sum += packets[i];
    return sum / count;
  };
  const double first = mean(0, 60);
  double smallest = first;
  size_t at = 0;
  for (size_t i = 0; i + 60 <= packets.size(); i += 30) {
    if (mean(i, 60) < smallest) {
      smallest = mean(i, 60);
      at = i;
    }
  }
  EXPECT_LT(smallest, first * 0.3) << "first " << first << " smallest " << smallest;
  EXPECT_GT(mean(packets.size() - 60, 60), smallest * 2) << "climbed back from " << smallest << " at " << at;
}

}  // namespace
