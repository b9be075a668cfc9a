// The simulated sound card from a shell: writes its configuration, injects overruns and faults,
// shows the element's value. The root is KAVO_ROOT or --root.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "kavo/sim/alsa_sim.h"

namespace {
int usage() {
  std::fprintf(stderr,
               "usage: kavo_sim_alsa [--root DIR] config [JSON | @FILE] [--plugins DIR]\n"
               "       kavo_sim_alsa [--root DIR] faults [JSON | @FILE]\n"
               "       kavo_sim_alsa [--root DIR] xrun\n"
               "       kavo_sim_alsa [--root DIR] volume\n"
               "config prints the ALSA_CONFIG_PATH=... line to export.\n");
  return 2;
}

bool text(const char* arg, std::string& out) {
  if (arg[0] != '@') {
    out = arg;
    return true;
  }
  std::ifstream in(arg + 1);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "--root") == 0) {
    setenv("KAVO_ROOT", argv[i + 1], 1);
    i += 2;
  }
  if (i >= argc) return usage();
  const std::string cmd = argv[i++];
  namespace a = kavo::sim::alsa;
  if (cmd == "config") {
    std::string json = "{}", plugins;
    for (; i < argc; ++i) {
      if (std::strcmp(argv[i], "--plugins") == 0 && i + 1 < argc) {
        plugins = argv[++i];
      } else if (!text(argv[i], json)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i] + 1);
        return 1;
      }
    }
    std::string error;
    if (!a::checkConfig(json, error)) {
      std::fprintf(stderr, "configuration refused: %s\n", error.c_str());
      return 1;
    }
    if (!a::writeConfig(json, plugins)) return 1;
    std::printf("ALSA_CONFIG_PATH=%s\n", a::asoundConfFile().c_str());
    return 0;
  }
  if (cmd == "faults") {
    std::string json;
    if (i < argc && !text(argv[i], json)) return 1;
    return a::setFaults(json) ? 0 : 1;
  }
  if (cmd == "xrun") return a::injectXrun() ? 0 : 1;
  if (cmd == "volume") {
    int64_t v = 0;
    if (!a::volume(v)) {
      std::fprintf(stderr, "no card state under %s\n", a::stateFile().c_str());
      return 1;
    }
    std::printf("%lld\n", static_cast<long long>(v));
    return 0;
  }
  return usage();
}
