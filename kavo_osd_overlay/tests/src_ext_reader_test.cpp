// SrcExtReader against a producer process that drops PGM files at the source path.
#include "src_ext_reader.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"
#include "kavo/utils/clock.h"

extern char** environ;

namespace {

using kavo::analytics::MD_READ_FATAL;
using kavo::analytics::MD_READ_OK;
using kavo::analytics::MD_READ_TIMEOUT;
using kavo::analytics::MdContainer;
using kavo::analytics::MdReadStatusCode;
using kavo::osd::SrcExtReader;

class SrcExtReaderTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(waitProducer(), 0) << "the producer did not see every frame claimed"; }

  // Starts the producer with the frames to drop, in order.
  void produce(const std::vector<std::string>& specs) {
    std::vector<std::string> args = {python(), producerScript(), root.path(kSource)};
    args.insert(args.end(), specs.begin(), specs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    ASSERT_EQ(::posix_spawn(&producer_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  }
  int waitProducer() {
    if (producer_ <= 0) return 0;
    int st = 0;
    ::waitpid(producer_, &st, 0);
    producer_ = 0;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
  }
  static std::string python() {
    const char* p = std::getenv("KAVO_PYTHON");
    return p ? p : "/usr/bin/python3";
  }
  static std::string producerScript() {
    const char* p = std::getenv("KAVO_OSD_PRODUCER");
    return p ? p : "";
  }
  std::string claim() const { return kSource + std::string(".") + std::to_string(::getpid()); }
  bool exists(const std::string& camera) const {
    struct stat st;
    return ::stat(root.path(camera).c_str(), &st) == 0;
  }
  // Pixel (x, y) of the producer's frame k.
  static uint8_t pixel(uint32_t x, uint32_t y, uint32_t k) { return static_cast<uint8_t>(x + 2 * y + k); }

  static constexpr const char* kSource = "/tmp/extsrc.pgm";
  kavo::test::TestRoot root;
  kavo::logger::LogCapture log;
  pid_t producer_ = 0;
};

TEST_F(SrcExtReaderTest, ClaimsReadsAndRemovesEachFile) {
  produce({"640x368", "640x368", "640x368"});
  SrcExtReader reader;
  ASSERT_TRUE(reader.init(kSource, 10000)) << log.dump();
  MdContainer dims;
  ASSERT_TRUE(reader.dims(dims));
  ASSERT_EQ(dims.Get().size(), 1u);
  EXPECT_EQ(dims.Get()["1"].Width(), 640u);
  EXPECT_EQ(dims.Get()["1"].Height(), 368u);
  EXPECT_EQ(dims.Get()["1"].Data()[0], pixel(0, 0, 0));

  for (uint32_t k = 1; k <= 2; ++k) {
    MdContainer frame;
    frame.Get()["other"] = kavo::analytics::MdBuffer();
    MdReadStatusCode status = MD_READ_FATAL;
    ASSERT_TRUE(reader.read(frame, status)) << log.dump();
    EXPECT_EQ(status, MD_READ_OK);
    ASSERT_EQ(frame.Get().size(), 1u);
    const auto& b = frame.Get()["1"];
    ASSERT_EQ(b.Pitch(), 640u);
    for (uint32_t y : {0u, 1u, 367u})
      for (uint32_t x : {0u, 255u, 256u, 639u}) ASSERT_EQ(b.Data()[y * 640 + x], pixel(x, y, k)) << x << "," << y;
    EXPECT_FALSE(exists(claim()));
  }
  EXPECT_FALSE(exists(kSource));
  // The dimensions keep the first frame.
  EXPECT_EQ(dims.Get()["1"].Data()[0], pixel(0, 0, 0));
}

TEST_F(SrcExtReaderTest, NoFileTimesOutWithStatus2) {
  SrcExtReader reader;
  EXPECT_FALSE(reader.init(kSource, 100));
  EXPECT_TRUE(log.has("Failed to read dims", LOG_LEVEL_ERROR)) << log.dump();

  produce({"64x48"});
  // A short time-out for the reads to come: wait for the producer's file first.
  for (int i = 0; i < 3000 && !exists(kSource); ++i) kavo::utils::sleepMs(10);
  ASSERT_TRUE(reader.init(kSource, 1000));
  MdContainer frame;
  MdReadStatusCode status = MD_READ_OK;
  const auto start = kavo::utils::moment();
  EXPECT_FALSE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_TIMEOUT);
  EXPECT_GE(kavo::utils::momentsDiffMs(start, kavo::utils::moment()), 1000);
  EXPECT_TRUE(frame.Get().empty());
}

TEST_F(SrcExtReaderTest, UnreadableFilesStayClaimedAndTheNextOneIsRead) {
  produce({"64x48", "bad", "64x48", "short", "huge", "64x48"});
  SrcExtReader reader;
  ASSERT_TRUE(reader.init(kSource, 10000));
  const std::string claimed = claim();
  MdContainer frame;
  MdReadStatusCode status = MD_READ_FATAL;

  EXPECT_FALSE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_OK);
  EXPECT_TRUE(log.has("Failed to read PGM dims from " + claimed, LOG_LEVEL_ERROR)) << log.dump();
  EXPECT_EQ(root.read(claimed).substr(0, 15), "P5\n64 64\n65535\n");

  EXPECT_TRUE(reader.read(frame, status)) << log.dump();  // renames over the old claim
  EXPECT_EQ(frame.Get()["1"].Data()[47 * 64 + 63], pixel(63, 47, 2));
  EXPECT_FALSE(exists(claimed));

  EXPECT_FALSE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_OK);
  EXPECT_TRUE(log.has("Failed to read PGM data from " + claimed, LOG_LEVEL_ERROR)) << log.dump();
  EXPECT_TRUE(exists(claimed));

  // A header that would ask for 4 GiB is refused before anything is allocated.
  log.clear();
  EXPECT_FALSE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_OK);
  EXPECT_TRUE(log.has("Failed to read PGM dims from " + claimed, LOG_LEVEL_ERROR)) << log.dump();

  EXPECT_TRUE(reader.read(frame, status));
  EXPECT_FALSE(exists(claimed));
}

TEST_F(SrcExtReaderTest, SizeChangeAndUnmovableFilesAreFatal) {
  produce({"640x368", "320x184", "640x368"});
  SrcExtReader reader;
  ASSERT_TRUE(reader.init(kSource, 10000));
  MdContainer frame;
  MdReadStatusCode status = MD_READ_OK;
  EXPECT_FALSE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_FATAL);
  EXPECT_TRUE(log.has("Invalid PGM MdBuffer dimensions, expected [640x368], read [320x184]", LOG_LEVEL_ERROR))
      << log.dump();
  EXPECT_EQ(root.read(claim()).substr(0, 12), "P5\n320 184\n2");

  // The claim name taken by a folder: the rename fails for another reason than a missing source.
  ::unlink(root.path(claim()).c_str());
  root.mkdirs(claim() + "/x");
  status = MD_READ_OK;
  EXPECT_FALSE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_FATAL);
  EXPECT_TRUE(log.has("Failed to move " + std::string(kSource) + " to " + claim(), LOG_LEVEL_ERROR)) << log.dump();
  ::rmdir(root.path(claim() + "/x").c_str());
  ::rmdir(root.path(claim()).c_str());
  EXPECT_TRUE(reader.read(frame, status));

  // The interface's init without a path is refused.
  EXPECT_FALSE(static_cast<kavo::analytics::IMdReader&>(reader).init(1000u));
}

}  // namespace
