#pragma once
// Helpers of the container, destination and FLV writer tests: frame fixtures placed in a ring
// like the driver's, an FLV reader that checks the layout independently of the writer, the
// status events of "kavo_avclient", shell commands.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "kavo/encoder/frames.h"
#include "kavo/encoder/streaminfo.h"
#include "kavo/ipc/basehandler.h"
#include "kavo/ipc/ipc.h"
#include "kavo/ipc/messages/eventstreamingstatus.h"
#include "kavo/test/frame_file.h"
#include "kavo/test/shell.h"
#include "kavo/test/test_root.h"

namespace flvtest {

using kavo::encoder::nal_map_t;
using kavo::encoder::video_frame_t;
using Bytes = std::vector<uint8_t>;

// A peer that closes its socket must never end the test program.
inline void ignoreSigpipe() { ::signal(SIGPIPE, SIG_IGN); }

using kavo::test::Shell;
using kavo::test::shell;

inline Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// ---- frame fixtures ---------------------------------------------------------------------------

using Frame = kavo::test::FrameRecord;

// The frame files beside these tests (made by data/flv_make_fixtures.py).
inline std::vector<Frame> loadFrames(const std::string& name) {
  return kavo::test::readFrameFile(kavo::test::sourceDir() + "/kavo_encoder/tests/data/" + name);
}

// The frame reader's NAL map of frame bytes that lie in one piece.
inline nal_map_t nalMapOf(const Bytes& f) {
  video_frame_t frame{};
  frame.ringBase = const_cast<uint8_t*>(f.data());
  frame.ringSize = static_cast<uint32_t>(f.size());
  frame.frameSize = frame.ringSize;
  frame.desc.frameStart = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(f.data()));
  nal_map_t m;
  kavo::encoder::parseNalMap(frame, m);
  return m;
}

// A ring like the driver's: frames are placed at chosen offsets and may wrap its end.
class Ring {
 public:
  explicit Ring(uint32_t size) : storage_(size + 64, 0xEE), size_(size) {
    // An odd base address, like a mapping seen through a 32-bit frameStart.
    base_ = storage_.data() + 32;
  }
  uint8_t* base() { return base_; }
  uint32_t size() const { return size_; }

  // Copies `frame` to `offset` (modulo the ring) and fills the record and its map.
  video_frame_t& place(const Frame& frame, uint32_t offset) {
    offset %= size_;
    for (size_t k = 0; k < frame.bytes.size(); k++) base_[(offset + k) % size_] = frame.bytes[k];
    map_ = nalMapOf(frame.bytes);
    record_ = video_frame_t{};
    record_.ringBase = base_;
    record_.ringSize = size_;
    record_.desc.frameStart = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base_) + offset);
    record_.desc.frameInfo = (static_cast<uint32_t>(frame.bytes.size()) << 8) | (frame.type & 7u);
    record_.desc.pts = frame.pts;
    record_.frameSize = static_cast<uint32_t>(frame.bytes.size());
    record_.nalMap = frame.type == 5 ? nullptr : &map_;
    return record_;
  }
  // Places frames one after the other round the ring.
  video_frame_t& next(const Frame& frame) {
    video_frame_t& r = place(frame, cursor_);
    cursor_ = (cursor_ + static_cast<uint32_t>(frame.bytes.size()) + 31u) / 32u * 32u % size_;
    return r;
  }
  void setCursor(uint32_t at) { cursor_ = at % size_; }
  nal_map_t& map() { return map_; }

 private:
  std::vector<uint8_t> storage_;
  uint8_t* base_;
  uint32_t size_;
  uint32_t cursor_ = 0;
  video_frame_t record_{};
  nal_map_t map_{};
};

// ---- an FLV reader ------------------------------------------------------------------------------

struct Tag {
  uint8_t type = 0;
  uint32_t timestamp = 0;
  Bytes data;
};

struct Flv {
  bool ok = false;
  std::string error;
  uint8_t flags = 0;
  std::vector<Tag> tags;
  size_t trailing = 0;  // bytes after the last complete tag
};

inline uint32_t be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; i++) v = (v << 8) | p[i];
  return v;
}

// Reads a whole stream; PreviousTagSize is checked on every tag.
inline Flv parseFlv(const Bytes& s) {
  Flv r;
  if (s.size() < 13 || std::memcmp(s.data(), "FLV\x01", 4) != 0 || be(&s[5], 4) != 9 || be(&s[9], 4) != 0) {
    r.error = "bad header";
    return r;
  }
  r.flags = s[4];
  size_t at = 13;
  while (at + 11 <= s.size()) {
    const uint32_t size = be(&s[at + 1], 3);
    if (at + 11 + size + 4 > s.size()) break;
    Tag t;
    t.type = s[at];
    t.timestamp = be(&s[at + 4], 3) | (static_cast<uint32_t>(s[at + 7]) << 24);
    if (be(&s[at + 8], 3) != 0) {
      r.error = "stream id not 0 at " + std::to_string(at);
      return r;
    }
    t.data.assign(s.begin() + at + 11, s.begin() + at + 11 + size);
    if (be(&s[at + 11 + size], 4) != 11 + size) {
      r.error = "PreviousTagSize wrong at " + std::to_string(at);
      return r;
    }
    r.tags.push_back(std::move(t));
    at += 11 + size + 4;
  }
  r.trailing = s.size() - at;
  r.ok = true;
  return r;
}

// The NAL units of an AVC NALU tag's payload (after the 5 AVC bytes), each with its length.
inline std::vector<Bytes> avcUnits(const Tag& t, bool* ok = nullptr) {
  std::vector<Bytes> units;
  size_t at = 5;
  bool good = t.data.size() >= 5;
  while (good && at + 4 <= t.data.size()) {
    const uint32_t n = be(&t.data[at], 4);
    if (at + 4 + n > t.data.size()) {
      good = false;
      break;
    }
    units.emplace_back(t.data.begin() + at + 4, t.data.begin() + at + 4 + n);
    at += 4 + n;
  }
  if (at != t.data.size()) good = false;
  if (ok) *ok = good;
  return units;
}

// The units of a fixture frame from its first slice on, without start codes.
inline std::vector<Bytes> unitsFromFirstSlice(const Bytes& f) {
  std::vector<Bytes> units;
  std::vector<size_t> starts;
  for (size_t p = 0; p + 4 < f.size(); p++)
    if (f[p] == 0 && f[p + 1] == 0 && f[p + 2] == 0 && f[p + 3] == 1) starts.push_back(p);
  bool slice = false;
  for (size_t i = 0; i < starts.size(); i++) {
    const size_t end = i + 1 < starts.size() ? starts[i + 1] : f.size();
    const uint8_t t = f[starts[i] + 4] & 0x1F;
    if (t == 1 || t == 5) slice = true;
    if (slice) units.emplace_back(f.begin() + starts[i] + 4, f.begin() + end);
  }
  return units;
}

// ---- status events --------------------------------------------------------------------------------

// "kavo_avclient" inside the test: a second hub that records the EventStreamingStatus requests
// the destinations send through the process-wide hub (initialised here as "kavo_streamer").
class AvClient : public kavo::ipc::BaseHandler {
 public:
  struct Event {
    std::string previous, current, uri;
    unsigned channel = 0;
  };

  AvClient() : BaseHandler("EventStreamingStatus") {
    hub_.AddHandler("EventStreamingStatus", this);
    started_ = hub_.Init("kavo_avclient", false) && kavo::ipc::Ipc::GetInstance()->Init("kavo_streamer", true);
  }
  ~AvClient() override {
    hub_.TearDown(true);
    kavo::ipc::Ipc::FreeInstance();
  }
  bool started() const { return started_; }

  bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage&, bool&) override { return true; }
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage&, kavo::ipc::messages::BaseResponseMessage&,
                      bool&) override {
    return true;
  }
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool&) override {
    kavo::ipc::messages::EventStreamingStatus e(request);
    events.push_back(Event{e.previousStatus(), e.currentStatus(), e.uri(), e.channelId()});
    return true;
  }

  // Runs both hubs until `count` events arrived or `ms` passed.
  void pump(size_t count, int ms = 2000) {
    for (int i = 0; i < ms / 5 && events.size() < count; i++) {
      kavo::ipc::Ipc::GetInstance()->Service(0);
      hub_.Service(5);
    }
  }
  std::vector<std::string> currents() const {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.current);
    return out;
  }

  std::vector<Event> events;

 private:
  kavo::ipc::Ipc hub_;
  bool started_ = false;
};

// ---- the stream description -------------------------------------------------------------------------

inline kavo::encoder::StreamInfo streamInfo(const std::string& uri, unsigned channel = 1) {
  kavo::encoder::StreamInfo info;
  info.channelId(channel);
  info.uri(uri);
  info.streamName("cam_" + std::to_string(channel));
  info.width(320);
  info.height(240);
  info.fps(30);
  info.videoBandwidth(300000);
  return info;
}

}  // namespace flvtest
