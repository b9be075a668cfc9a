#include "kavo/os/device.h"
#include "kavo/os/iav.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "kavo/test/test_root.h"

namespace {

using namespace kavo::os;

// A provider backed by a file under the test root; it answers one request and records the calls.
class FileProvider : public DeviceProvider {
 public:
  explicit FileProvider(std::string file, int minFd = 0) : file_(std::move(file)), minFd_(minFd) {}
  int open(const char* node, int flags) override {
    opened.push_back(node);
    int fd = ::open(file_.c_str(), (flags & O_ACCMODE) | O_CLOEXEC);
    if (fd < 0 || minFd_ == 0) return fd;
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, minFd_);
    ::close(fd);
    return high;
  }
  int close(int fd) override {
    closed.push_back(fd);
    return ::close(fd);
  }
  int ioctl(int, unsigned long request, uintptr_t arg) override {
    if (request != 0x80047670) {
      errno = ENOTTY;
      return -1;
    }
    *reinterpret_cast<int32_t*>(arg) = 42;
    return 0;
  }
  ssize_t read(int, void* buf, size_t count) override {
    std::memset(buf, 'r', count);
    return static_cast<ssize_t>(count);
  }
  std::vector<std::string> opened;
  std::vector<int> closed;

 private:
  std::string file_;
  int minFd_;
};

bool fdValid(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(DeviceSeam, RoutesRegisteredNodeWithRealDescriptors) {
  kavo::test::TestRoot root;
  root.write("/tmp/backing", std::string(8192, 'x'));
  FileProvider provider(root.path("/tmp/backing"));
  registerDevice("/dev/fake0", &provider);

  int fd = devOpen("/dev/fake0", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fdValid(fd));
  EXPECT_TRUE(isSimulated(fd));
  ASSERT_EQ(provider.opened.size(), 1u);

  int32_t chip = 0;
  EXPECT_EQ(devIoctl(fd, 0x80047670, &chip), 0);
  EXPECT_EQ(chip, 42);
  errno = 0;
  EXPECT_EQ(devIoctl(fd, 0x1234, uintptr_t{0}), -1);
  EXPECT_EQ(errno, ENOTTY);

  char buf[4];
  EXPECT_EQ(devRead(fd, buf, sizeof buf), 4);
  EXPECT_EQ(buf[0], 'r');
  EXPECT_EQ(devWrite(fd, buf, sizeof buf), -1);  // the provider's default refuses writes
  EXPECT_EQ(errno, EINVAL);

  // The default mmap maps the backing descriptor itself.
  void* m = devMmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(m, MAP_FAILED);
  EXPECT_EQ(static_cast<char*>(m)[0], 'x');
  EXPECT_EQ(devMunmap(m, 4096), 0);

  EXPECT_EQ(devClose(fd), 0);
  EXPECT_FALSE(fdValid(fd));
  ASSERT_EQ(provider.closed.size(), 1u);
  EXPECT_EQ(provider.closed[0], fd);
  EXPECT_FALSE(isSimulated(fd));
  registerDevice("/dev/fake0", nullptr);
}

TEST(DeviceSeam, OtherPathsGoToTheSystemUnderTheRoot) {
  kavo::test::TestRoot root;
  root.write("/dev/ttyS9", "serial");
  int fd = devOpen("/dev/ttyS9", O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(isSimulated(fd));
  char buf[6];
  EXPECT_EQ(devRead(fd, buf, sizeof buf), 6);
  EXPECT_EQ(std::string(buf, 6), "serial");
  errno = 0;
  EXPECT_EQ(devIoctl(fd, IAV_IOC_GET_CHIP_ID_EX, uintptr_t{0}), -1);  // a plain file has no requests
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(devClose(fd), 0);
  EXPECT_FALSE(fdValid(fd));

  errno = 0;
  EXPECT_EQ(devOpen("/dev/missing", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(devOpen(nullptr, O_RDONLY), -1);
  EXPECT_EQ(devClose(-1), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(DeviceSeam, HighDescriptorsAreRoutedToo) {
  struct rlimit lim;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
  const rlim_t want = 5000;
  if (lim.rlim_cur < want) {
    if (lim.rlim_max < want) GTEST_SKIP() << "descriptor limit too low";
    struct rlimit raised = lim;
    raised.rlim_cur = want;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
  }
  kavo::test::TestRoot root;
  root.write("/tmp/backing", "y");
  FileProvider provider(root.path("/tmp/backing"), 4500);
  registerDevice("/dev/fake1", &provider);
  int fd = devOpen("/dev/fake1", O_RDONLY);
  ASSERT_GE(fd, 4500);
  int32_t chip = 0;
  EXPECT_EQ(devIoctl(fd, 0x80047670, &chip), 0);
  EXPECT_EQ(chip, 42);
  EXPECT_EQ(devClose(fd), 0);
  EXPECT_FALSE(isSimulated(fd));
  registerDevice("/dev/fake1", nullptr);
  ::setrlimit(RLIMIT_NOFILE, &lim);
}

TEST(IavHeader, CodesDecodeAsTheDriverNumbersThem) {
  struct Case {
    uint32_t code;
    unsigned dir;
    char type;
    unsigned nr;
  };
  const Case cases[] = {
      {IAV_IOC_GET_CHIP_ID_EX, IAV_IOC_DIR_READ, 'v', 0x70},
      {IAV_IOC_ENTER_IDLE, IAV_IOC_DIR_WRITE, 'v', 0x54},
      {IAV_IOC_ENABLE_PREVIEW, IAV_IOC_DIR_NONE, 'e', 0x0b},
      {IAV_IOC_GET_H264_CONFIG_EX, IAV_IOC_DIR_BOTH, 'e', 0x3f},
      {IAV_IOC_READ_BITSTREAM_EX, IAV_IOC_DIR_READ, 'e', 0x37},
      {IAV_IOC_VOUT_GET_SINK_INFO, IAV_IOC_DIR_READ, '#', 0x01},
      {IAV_IOC_VOUT_GET_SINK_NUM, IAV_IOC_DIR_READ, '$', 0x01},
      {IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE, IAV_IOC_DIR_READ, 's', 0x02},
      {IAV_IOC_GET_SENSOR_REG, IAV_IOC_DIR_READ, 'd', 0xca},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(iavIocDir(c.code), c.dir) << std::hex << c.code;
    EXPECT_EQ(iavIocType(c.code), c.type) << std::hex << c.code;
    EXPECT_EQ(iavIocNr(c.code), c.nr) << std::hex << c.code;
    EXPECT_EQ(iavIoc(c.dir, c.type, c.nr, iavIocSize(c.code)), c.code);
  }
  EXPECT_EQ(iavIocSize(IAV_IOC_ENABLE_PREVIEW), 0u);
  EXPECT_EQ(iavIocSize(IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX), 4u);
}

TEST(IavHeader, FlagBitsAndRingOffset) {
  iav_h264_config_ex_s c{};
  c.hflip = 1;
  c.vflip = 1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&c);
  EXPECT_EQ(bytes[IAV_H264_CONFIG_FLAG_BYTE], 0x03);
  c.hflip = 0;
  EXPECT_EQ(bytes[IAV_H264_CONFIG_FLAG_BYTE], 0x02);

  // The 32-bit frame address gives the offset even when the ring lies above 4 GiB.
  alignas(64) static uint8_t ring[256];
  const uint32_t start = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ring + 200));
  EXPECT_EQ(iavRingOffset(ring, start, sizeof ring), 200u);
  EXPECT_EQ(iavRingOffset(ring, start, 0), 0u);
}

}  // namespace
