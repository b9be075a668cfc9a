// One DSP for every process: a second program sees the state this one drives.
#include <gtest/gtest.h>

#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "iav_client.h"
#include "kavo/test/shell.h"

namespace {

using namespace simtest;

using kavo::test::Shell;

// Runs the probe, a program that is linked with the device seam only (the seam loads the simulator).
Shell probe(const std::string& args) { return kavo::test::shell(kavo::test::binaryDir() + "/bin/kavo_sim_iavctl " + args); }

TEST(IavProcesses, SecondProcessSeesTheSharedState) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual", "chipId": 4})");
  Shell o = probe("state");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "3 init\n");

  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 240, 30, 30}}), 0);
  EXPECT_EQ(probe("state").out, "1 preview\n");
  ASSERT_EQ(c.startStop(true), 0);
  iav_bitstream_desc_t d{};
  ASSERT_EQ(c.read(d), 0);
  EXPECT_EQ(probe("state").out, "2 encoding\n");
  EXPECT_EQ(probe("chip").out, "4\n");
  EXPECT_EQ(probe("sinks").out, "0 2 sim-hdmi\n1 1 sim-cvbs\n");

  // Faults reach the other process too.
  ASSERT_TRUE(kavo::sim::iav::setFaults(R"({"faults": [{"request": "IAV_IOC_GET_STATE", "errno": "EIO"}]})"));
  o = probe("state");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("IAV_IOC_GET_STATE: Input/output error"), std::string::npos) << o.out;
  ASSERT_TRUE(kavo::sim::iav::setFaults(""));

  // Frames go on where they were, whoever asked in between.
  const uint32_t before = d.frameNumber;
  ASSERT_EQ(c.read(d), 0);
  EXPECT_EQ(d.frameNumber, before + 1);
  ASSERT_EQ(c.startStop(false), 0);
  EXPECT_EQ(probe("state").out, "1 preview\n");
  c.close();

  // One journal, with the lines of every process numbered in one order (buffered frame lines may
  // reach the file after later lines of other processes).
  std::set<int> pids;
  std::set<uint64_t> seqs;
  size_t numbered = 0;
  for (const auto& l : journal()) {
    if (!l.contains("seq")) continue;
    pids.insert(l["pid"].get<int>());
    seqs.insert(l["seq"].get<uint64_t>());
    ++numbered;
  }
  EXPECT_EQ(seqs.size(), numbered);
  EXPECT_EQ(*seqs.rbegin(), numbered) << "no number missing";
  EXPECT_GE(pids.size(), 8u);  // this process and seven probes
  EXPECT_EQ(pids.count(::getpid()), 1u);
}

TEST(IavProcesses, StateOutlivesTheProcessThatSetItUp) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual"})");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A streamer that sets the DSP up and dies without closing anything.
    Client c;
    int rc = c.setup({{IAV_ENCODE_H264, 320, 240, 30, 30}});
    if (rc == 0) rc = c.startStop(true);
    ::_exit(rc == 0 ? 0 : 1);
  }
  int st = 0;
  ASSERT_EQ(::waitpid(child, &st, 0), child);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_EQ(probe("state").out, "2 encoding\n");
  // The next streamer starts over from idle.
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 240, 30, 30}}), 0);
  ASSERT_EQ(c.startStop(true), 0);
  iav_bitstream_desc_t d{};
  ASSERT_EQ(c.read(d), 0);
  EXPECT_EQ(d.frameInfo & 7, IAV_PIC_TYPE_IDR);
}

}  // namespace
