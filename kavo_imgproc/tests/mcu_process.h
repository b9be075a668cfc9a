#pragma once
// The lens-MCU emulator as a separate process on the test root: started with a configuration,
// ready once it has linked "/dev/ttyS1", stopped with SIGTERM; its faults file and journal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kavo/test/test_root.h"

extern char** environ;

namespace lenstest {

class McuProcess {
 public:
  McuProcess(const kavo::test::TestRoot& root, const std::string& config) : root_(root) {
    root.write("/etc/kavo_sim/lens_mcu.json", config);
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const std::string bin = kavo::test::binaryDir() + "/bin/kavo_sim_lens_mcu";
    const std::string dir = root.dir();
    char* argv[] = {const_cast<char*>(bin.c_str()), const_cast<char*>("--root"), const_cast<char*>(dir.c_str()), nullptr};
    if (::posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    // Ready once it printed its line.
    std::string text;
    pollfd p{out[0], POLLIN, 0};
    while (pid_ > 0 && text.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
      char buf[256];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    ready_ = text.rfind("ready ", 0) == 0;
  }
  ~McuProcess() { stop(); }
  McuProcess(const McuProcess&) = delete;
  McuProcess& operator=(const McuProcess&) = delete;

  bool ready() const { return ready_; }
  // SIGTERM; true when it ended by itself with status 0.
  bool stop() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGTERM);
    int st = 0;
    ::waitpid(pid_, &st, 0);
    pid_ = -1;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
  }
  // The faults file; the emulator looks at it at each packet.
  void faults(const std::string& json) const { root_.write("/tmp/kavo_sim/lens_mcu.faults", json); }
  std::vector<nlohmann::json> journal() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(root_.path("/tmp/kavo_sim/lens_mcu.journal"));
    for (std::string l; std::getline(in, l);) {
      nlohmann::json j = nlohmann::json::parse(l, nullptr, false);
      if (!j.is_discarded()) out.push_back(j);
    }
    return out;
  }
  // The bytes of the journal's lines in one direction ("rx": what the server sent).
  std::vector<std::string> bytes(const std::string& dir) const {
    std::vector<std::string> out;
    for (const auto& j : journal())
      if (j.value("dir", "") == dir) out.push_back(j.value("bytes", ""));
    return out;
  }

 private:
  const kavo::test::TestRoot& root_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace lenstest
