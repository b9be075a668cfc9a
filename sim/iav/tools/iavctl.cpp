// Asks the video-DSP driver (or, in a PC build, its simulator) for its state, chip id and outputs.
//   kavo_sim_iavctl state     prints "<state number> <name>"
//   kavo_sim_iavctl chip      prints the chip id
//   kavo_sim_iavctl sinks     prints one line per video output: id, type, name
// Exit code 0, or 1 with a message on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>

#include "kavo/os/device.h"
#include "kavo/os/iav.h"

using namespace kavo::os;

static int fail(const char* what) {
  std::fprintf(stderr, "kavo_sim_iavctl: %s: %s\n", what, std::strerror(errno));
  return 1;
}

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd != "state" && cmd != "chip" && cmd != "sinks") {
    std::fprintf(stderr, "usage: kavo_sim_iavctl state|chip|sinks\n");
    return 2;
  }
  int fd = devOpen("/dev/iav", O_RDWR);
  if (fd < 0) return fail("/dev/iav");
  int rc = 0;
  if (cmd == "state") {
    uint32_t state = 0;
    if (devIoctl(fd, IAV_IOC_GET_STATE, &state) < 0) {
      rc = fail("IAV_IOC_GET_STATE");
    } else {
      const char* names[] = {"idle", "preview", "encoding", "init"};
      std::printf("%u %s\n", state, state < 4 ? names[state] : "?");
    }
  } else if (cmd == "chip") {
    int32_t chip = 0;
    if (devIoctl(fd, IAV_IOC_GET_CHIP_ID_EX, &chip) < 0)
      rc = fail("IAV_IOC_GET_CHIP_ID_EX");
    else
      std::printf("%d\n", chip);
  } else {
    int32_t count = 0;
    if (devIoctl(fd, IAV_IOC_VOUT_GET_SINK_NUM, &count) < 0) rc = fail("IAV_IOC_VOUT_GET_SINK_NUM");
    for (int32_t i = 0; rc == 0 && i < count; ++i) {
      iav_vout_sink_info_t sink{};
      sink.id = i;
      if (devIoctl(fd, IAV_IOC_VOUT_GET_SINK_INFO, &sink) < 0)
        rc = fail("IAV_IOC_VOUT_GET_SINK_INFO");
      else
        std::printf("%d %d %s\n", sink.id, sink.sink_type, sink.name);
    }
  }
  devClose(fd);
  return rc;
}
