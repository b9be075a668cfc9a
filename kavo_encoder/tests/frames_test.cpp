// The walker over the NAL units of a frame in the ring: a table of frames, each placed so that
// the ring's end falls before every one of its bytes, gives the same start codes and bytes as the
// frame in one piece.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "flv_test_support.h"

using flvtest::Bytes;
using flvtest::Frame;
using flvtest::Ring;
using kavo::encoder::nal_start_t;
using kavo::encoder::NalWalker;

namespace {

using Starts = std::vector<std::pair<uint32_t, uint32_t>>;  // {code, unit}

Starts walk(const kavo::encoder::video_frame_t& frame) {
  Starts found;
  NalWalker walker(frame);
  for (nal_start_t s; walker.next(s);) found.emplace_back(s.code, s.unit);
  return found;
}

TEST(NalWalker, FindsTheSameStartCodesWhereverTheRingEnds) {
  struct Row {
    const char* what;
    Bytes frame;
    Starts starts;
  };
  const Row rows[] = {
      {"4-byte codes", {0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x65, 0xAA, 0xBB}, {{0, 4}, {6, 10}}},
      {"3-byte codes", {0, 0, 1, 0x67, 0xAA, 0, 0, 1, 0x68}, {{0, 3}, {5, 8}}},
      {"a run of zeros: the code takes four of them", {0x09, 0, 0, 0, 0, 0, 1, 0x65}, {{3, 7}}},
      {"codes back to back", {0, 0, 1, 0, 0, 1, 0, 0, 0, 1}, {{0, 3}, {3, 6}, {6, 10}}},
      {"a code as the last bytes", {0x65, 0xAA, 0, 0, 0, 1}, {{2, 6}}},
      {"01 bytes that end no code", {1, 0, 1, 0x41, 0, 1, 0, 2, 0, 0, 2, 0x01}, {}},
      {"a code in the first bytes", {0, 0, 1}, {{0, 3}}},
      {"no code at all", {0x65, 0x88, 0x84, 0x00, 0x21}, {}},
      {"zeros only", {0, 0, 0, 0, 0, 0}, {}},
  };
  for (const Row& row : rows) {
    const uint32_t size = static_cast<uint32_t>(row.frame.size());
    Ring ring(64);
    for (uint32_t before = 0; before <= size; ++before) {
      SCOPED_TRACE(testing::Message() << row.what << ", " << before << " bytes before the ring's end");
      const auto& frame = ring.place(Frame{row.frame, 1, 0}, 64 - before);
      EXPECT_EQ(walk(frame), row.starts);
      const kavo::encoder::FrameBytes bytes(frame);
      Bytes read;
      for (uint32_t k = 0; k < bytes.size(); ++k) read.push_back(bytes[k]);
      EXPECT_EQ(read, row.frame);
    }
  }
}

}  // namespace
