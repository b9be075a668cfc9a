// The sub-CPU object on a real serial line (a pseudo-terminal the test plays the lens MCU on): the
// line's set-up, the packet layer's headers and refusals, the receive path cycle by cycle, the
// reply wait, and the reply slot under a concurrent reader.
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_link.h"
#include "fe_subcpu/subcpu_thread.h"
#include "kavo/logger/logger.h"
#include "lens_line.h"

namespace kavo {
namespace isp {
namespace {

using kavo::logger::LogCapture;
using lenstest::FastSleeps;
using lenstest::hexBytes;

class CountingCallback : public CallbackInterface {
 public:
  int callback(int result) override {
    last = result;
    return ++calls;
  }
  std::atomic<int> calls{0};
  std::atomic<int> last{-1};
};

class SubCpuLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(line.ok());
    lenstest::zoomBoard();
    FastSleeps quick;  // the open's settling sleep
    ASSERT_EQ(s.openSubCPU(), 0);
    ASSERT_GE(s.m_serial.descriptor.load(), 0);
  }
  void TearDown() override { s.closeSubCPU(); }

  int fd() { return s.m_serial.descriptor.load(); }
  // One cycle of the sub-CPU thread.
  void cycle() {
    s.putPacketIntoRxFIFO();
    s.processRxFIFO();
  }
  std::vector<uint8_t> posted() {
    McuReply r;
    copyMcuReply(r);
    return std::vector<uint8_t>(r.bytes, r.bytes + r.length);
  }

  kavo::test::TestRoot root;
  lenstest::PtyLine line{root};
  SubCPU s;
};

TEST_F(SubCpuLine, TheLineIsRaw8N1At115200BothWays) {
  termios t{};
  ASSERT_EQ(::tcgetattr(s.m_serial.descriptor.load(), &t), 0);
  EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_iflag, 0u) << "no byte of a packet is translated or taken as flow control";
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
  EXPECT_EQ(s.m_serialPeer.address.load(), 1u);
  EXPECT_EQ(s.m_serialOpen.load(), 1u);
  // Bytes that a cooked line would change go through as they are.
  ViscaPacket p;
  viscaClear(p);
  for (uint8_t b : {0x01, 0x04, 0x4B, 0x0D, 0x0A, 0x11, 0x13}) viscaAppend(p, b);
  EXPECT_EQ(sendPacket(s.m_serial, s.m_serialPeer, p), kViscaOk);
  EXPECT_EQ(line.read(9), hexBytes("81 01 04 4B 0D 0A 11 13 FF"));
}

TEST_F(SubCpuLine, HeadersAndRefusedAddresses) {
  auto send = [&](SubCpuPeer& peer) {
    ViscaPacket p;
    viscaClear(p);
    viscaAppend(p, 0x01);
    viscaAppend(p, 0x04);
    viscaAppend(p, 0x07);
    viscaAppend(p, 0x00);
    return sendPacket(s.m_serial, peer, p);
  };
  EXPECT_EQ(send(s.m_serialPeer), kViscaOk);
  EXPECT_EQ(line.read(6), hexBytes("81 01 04 07 00 FF"));
  s.m_serial.broadcast.store(1);
  EXPECT_EQ(send(s.m_serialPeer), kViscaOk) << "a broadcast flag of 1 is legal";
  EXPECT_EQ(line.read(6), hexBytes("88 01 04 07 00 FF"));
  s.m_serial.broadcast.store(0);
  s.m_serial.ownAddress.store(2);
  SubCpuPeer three;
  three.address.store(3);
  EXPECT_EQ(send(three), kViscaOk);
  EXPECT_EQ(line.read(6), hexBytes("A3 01 04 07 00 FF"));
  s.m_serial.ownAddress.store(0);

  SubCpuPeer eight;
  eight.address.store(8);
  EXPECT_EQ(send(eight), kViscaFail);
  s.m_serial.broadcast.store(2);
  EXPECT_EQ(send(s.m_serialPeer), kViscaFail);
  s.m_serial.broadcast.store(0);
  s.m_serial.ownAddress.store(8);
  EXPECT_EQ(send(s.m_serialPeer), kViscaFail);
  s.m_serial.ownAddress.store(0);
  g_isp.sys.systemType = FIXLENS;
  EXPECT_EQ(send(s.m_serialPeer), kViscaFail) << "a fixed-lens system writes nothing";
  EXPECT_EQ(s.zoomTele(), 0);
  g_isp.sys.systemType = ZOOMLENS;
  EXPECT_TRUE(line.read(0, 200).empty()) << "nothing reached the line";
  // Board 2 has no pan/tilt unit: its link stays closed.
  EXPECT_EQ(s.ptUp(1, 1), kViscaFail);
}

TEST_F(SubCpuLine, RepliesThatArriveTogetherAreHandledInTwoCycles) {
  for (bool withCallback : {false, true}) {
    SCOPED_TRACE(withCallback ? "callback set" : "no callback yet");
    CountingCallback cb;
    s.setCallback(withCallback ? &cb : nullptr);
    s.m_bZFisMoving2AbsAddr.store(1);
    line.deliver(hexBytes("90 41 FF 90 51 FF"), fd());
    cycle();
    EXPECT_EQ(cb.calls.load(), 0) << "the acknowledgement is ignored";
    EXPECT_EQ(s.m_bZFisMoving2AbsAddr.load(), 1);
    EXPECT_EQ(s.rxUsed(), 3u);
    cycle();
    EXPECT_EQ(cb.calls.load(), withCallback ? 1 : 0);
    if (withCallback) {
      EXPECT_EQ(cb.last.load(), 1);
    }
    EXPECT_EQ(s.m_bZFisMoving2AbsAddr.load(), 0) << "the end of the move is seen either way";
    EXPECT_EQ(s.processRxFIFO(), 0) << "empty";
    EXPECT_EQ(g_isp.lensLink.mcuReply.posted.load(), 0u) << "neither is an answer";
  }
  s.setCallback(nullptr);
}

TEST_F(SubCpuLine, AFullChunkLosesNoReply) {
  // 16 answers of 4 bytes in one write: 64 bytes, one more than the ring holds.
  std::vector<uint8_t> burst;
  for (uint8_t k = 0; k < 16; ++k) burst.insert(burst.end(), {0x90, 0x50, k, 0xFF});
  line.deliver(burst, fd());
  for (uint8_t k = 0; k < 16; ++k) {
    cycle();
    EXPECT_LE(s.rxUsed(), 63u);
    EXPECT_EQ(posted(), (std::vector<uint8_t>{0x90, 0x50, k, 0xFF})) << "answer " << int(k);
  }
  EXPECT_EQ(s.rxUsed(), 0u);
}

TEST_F(SubCpuLine, WhatThePacketsCarry) {
  LogCapture log;
  CountingCallback cb;
  s.setCallback(&cb);
  auto feed = [&](const std::string& bytes) {
    line.deliver(hexBytes(bytes), fd());
    s.putPacketIntoRxFIFO();
    while (s.processRxFIFO() != 0) {
    }
  };
  feed("90 50 01 02 03 04 FF");
  EXPECT_EQ(posted(), hexBytes("90 50 01 02 03 04 FF"));
  g_isp.lensLink.mcuReply.posted.store(0);
  feed("80 50 09 FF 90 42 FF 90 52 FF 90 41 FF");
  EXPECT_EQ(g_isp.lensLink.mcuReply.posted.load(), 0u) << "other senders and acknowledgements pass by";
  EXPECT_TRUE(log.records().empty()) << log.dump();
  feed("90 60 02 FF");
  EXPECT_TRUE(log.has("Mcu reply : busy!", LOG_LEVEL_INFO));
  EXPECT_EQ(g_isp.lensLink.mcuReply.posted.load(), 0u);
  feed("90 5A 07 FF");
  EXPECT_EQ(posted(), hexBytes("90 5A 07 FF"));
  // A reply longer than the slot, then one longer than the packet buffer: both dropped whole, with
  // a line each; the answer behind them arrives intact.
  g_isp.lensLink.mcuReply.posted.store(0);
  feed("90 50 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F FF");
  EXPECT_EQ(g_isp.lensLink.mcuReply.posted.load(), 0u);
  EXPECT_TRUE(log.contains("reply of 18 bytes dropped", LOG_LEVEL_WARNING)) << log.dump();
  std::string longOne = "90 50";
  for (int i = 0; i < 38; ++i) longOne += " 01";
  feed(longOne + " FF 90 50 00 00 02 0A FF");
  EXPECT_TRUE(log.contains("packet of 41 bytes dropped", LOG_LEVEL_WARNING)) << log.dump();
  EXPECT_EQ(posted(), hexBytes("90 50 00 00 02 0A FF"));
  EXPECT_EQ(cb.calls.load(), 0);
  s.setCallback(nullptr);
}

TEST_F(SubCpuLine, ASplitReplyIsCompletedByLaterReads) {
  line.deliver(hexBytes("90 50 01"), fd());
  std::thread rest([&] {
    ::usleep(60000);
    line.write(hexBytes("02 03 04 FF"));
  });
  EXPECT_EQ(s.putPacketIntoRxFIFO(), 1);
  rest.join();
  EXPECT_EQ(s.processRxFIFO(), 1);
  EXPECT_EQ(posted(), hexBytes("90 50 01 02 03 04 FF"));
}

TEST_F(SubCpuLine, AReplyThatNeverEndsIsDroppedAlone) {
  LogCapture log;
  FastSleeps quick;
  const timespec t0 = kavo::utils::moment();
  line.deliver(hexBytes("90 50 07 FF 90 50 01"), fd());
  s.putPacketIntoRxFIFO();
  EXPECT_GE(lenstest::msSince(t0), 2000) << "200 polls of 10 ms";
  EXPECT_TRUE(log.has("SubCPU timeout.", LOG_LEVEL_INFO));
  EXPECT_EQ(s.rxUsed(), 4u) << "the whole reply before it stays";
  EXPECT_EQ(s.processRxFIFO(), 1);
  EXPECT_EQ(posted(), hexBytes("90 50 07 FF"));
  // A run longer than the ring could hold, and the rest of it up to its end, go; the next reply
  // is read.
  std::vector<uint8_t> run(70, 0x01);
  line.deliver(run, fd());
  s.putPacketIntoRxFIFO();
  EXPECT_TRUE(log.contains("longer than 63 bytes dropped", LOG_LEVEL_WARNING)) << log.dump();
  line.deliver(hexBytes("01 01 FF 90 50 08 FF"), fd());
  s.putPacketIntoRxFIFO();
  EXPECT_EQ(s.processRxFIFO(), 1);
  EXPECT_EQ(posted(), hexBytes("90 50 08 FF"));
  EXPECT_EQ(s.rxUsed(), 0u);
}

TEST_F(SubCpuLine, ASilentMcuFailsTheInquiryAfterAboutOneSecond) {
  FastSleeps quick;
  g_isp.lensLink.mcuReply.posted.store(1);  // a reply from before: the inquiry must not take it
  uint32_t light = 1234;
  const auto real = std::chrono::steady_clock::now();
  const timespec t0 = kavo::utils::moment();
  EXPECT_EQ(s.inqLightSensor(&light), 1);
  const int64_t waited = lenstest::msSince(t0);
  EXPECT_GE(waited, 1000);
  // About a second on the test clock, and the real time the inquiry took besides.
  const auto realMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - real);
  EXPECT_LE(waited, 1020 + realMs.count());
  EXPECT_EQ(light, 1234u) << "the value is left alone";
  EXPECT_EQ(line.read(5), hexBytes("81 09 04 E4 FF"));
  int32_t pan = 7, tilt = 8;
  EXPECT_EQ(s.inqPtPosition(&pan, &tilt), kViscaFail);
  EXPECT_EQ(pan, 7);
  EXPECT_EQ(tilt, 8);
}

TEST_F(SubCpuLine, AnInquiryTakesTheAnswerTheThreadPosts) {
  g_isp.components.subCpu.store(&s);
  ASSERT_EQ(startSubCPUThread(), 0);
  std::thread mcu([&] {
    // The MCU answers the zoom inquiry late but within the second, after noise and an acknowledgement.
    EXPECT_EQ(line.read(5), hexBytes("81 09 04 47 FF"));
    ::usleep(100000);
    line.write(hexBytes("90 41 FF 90 50 00 02 05 0F FF"));
  });
  uint32_t zoom = 0;
  EXPECT_EQ(s.getZoom(&zoom), 1);
  EXPECT_EQ(zoom, 0x25Fu);
  mcu.join();
  EXPECT_EQ(stopSubCPUThread(), 0);
  joinSubCPUThread(1000);
  g_isp.components.subCpu.store(nullptr);
}

TEST_F(SubCpuLine, SendersOnSeveralThreadsAllGetThrough) {
  // The terminal refuses a non-blocking writer while another thread's packet goes out; no packet may
  // fail for that, and none may be cut.
  constexpr int kThreads = 4, kEach = 400;
  std::atomic<int> failed{0};
  std::vector<uint8_t> got;
  std::thread reader([&] { got = line.read(kThreads * kEach * 9, 20000); });
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        if (s.setFocus(static_cast<uint32_t>(t * 0x1000 + i)) != 1) ++failed;
    });
  for (auto& t : senders) t.join();
  reader.join();
  EXPECT_EQ(failed.load(), 0);
  ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kEach * 9));
  int next[kThreads] = {};
  for (size_t at = 0; at < got.size(); at += 9) {
    ASSERT_EQ(std::vector<uint8_t>(got.begin() + at, got.begin() + at + 3), hexBytes("81 01 04")) << "at " << at;
    ASSERT_EQ(got[at + 3], 0x48);
    ASSERT_EQ(got[at + 8], 0xFF);
    const int t = got[at + 4];
    ASSERT_LT(t, kThreads);
    EXPECT_EQ((got[at + 5] << 8) | (got[at + 6] << 4) | got[at + 7], next[t]++) << "thread " << t;
  }
}

TEST(McuReplySlot, ACopyNeverMixesTwoReplies) {
  // The sub-CPU thread posts while a sender copies: every copy is one whole reply.
  std::atomic<bool> stop{false};
  const uint8_t first[4] = {};
  postMcuReply(first, sizeof first);
  const uint32_t before = g_isp.lensLink.mcuReply.sequence.load();
  std::thread poster([&] {
    for (uint8_t k = 0; !stop.load(); ++k) {
      uint8_t reply[16];
      const uint32_t n = 4 + k % 13;
      for (uint32_t i = 0; i < n; ++i) reply[i] = k;
      postMcuReply(reply, n);
    }
  });
  while (g_isp.lensLink.mcuReply.sequence.load() - before < 1000) std::this_thread::yield();
  int mixed = 0;
  for (int i = 0; i < 20000; ++i) {
    McuReply r;
    copyMcuReply(r);
    if (r.length == 0) continue;
    const uint8_t k = r.bytes[0];
    if (r.length != 4u + k % 13) ++mixed;
    for (uint32_t b = 0; b < r.length; ++b)
      if (r.bytes[b] != k) ++mixed;
  }
  stop.store(true);
  poster.join();
  EXPECT_EQ(mixed, 0);
  const uint8_t tooLong[17] = {0x90, 0x50};
  EXPECT_FALSE(postMcuReply(tooLong, sizeof tooLong));
}

}  // namespace
}  // namespace isp
}  // namespace kavo
