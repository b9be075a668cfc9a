// The simulated board's GPIO inputs from a shell, for people and process tests:
//
//     kavo_sim_boardctl --root DIR inputs RESET VPORT_IN0 VPORT_IN1    set the inputs (0 or 1 each)
//     kavo_sim_boardctl --root DIR gpio                               print the lines
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kavo/sim/board_sim.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: kavo_sim_boardctl [--root DIR] inputs RESET VPORT_IN0 VPORT_IN1 | gpio\n");
  return 2;
}

bool number(const char* text, uint32_t* out) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 0);
  if (end == text || *end != '\0' || v > 0xFFFFFFFFul) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "--root") == 0) {
    ::setenv("KAVO_ROOT", argv[i + 1], 1);
    i += 2;
  }
  if (i >= argc) return usage();
  namespace board = kavo::sim::board;
  const std::string command = argv[i];
  if (command == "inputs" && argc - i == 4) {
    uint32_t v[3];
    for (int k = 0; k < 3; ++k)
      if (!number(argv[i + 1 + k], &v[k])) return usage();
    if (!board::setGpioInputs(v[0], v[1], v[2])) {
      std::fprintf(stderr, "cannot reach %s\n", board::stateFile().c_str());
      return 1;
    }
    return 0;
  }
  if (command == "gpio" && argc - i == 1) {
    board::Gpio g{};
    if (!board::gpio(g)) {
      std::fprintf(stderr, "cannot reach %s\n", board::stateFile().c_str());
      return 1;
    }
    std::printf("reset %u in %u %u out %u %u irled %u %u backlight %u\n", g.resetButton, g.vportIn[0], g.vportIn[1],
                g.vportOut[0], g.vportOut[1], g.irLed, g.irLed2, g.backlightPower);
    return 0;
  }
  return usage();
}
