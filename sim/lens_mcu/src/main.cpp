// kavo_sim_lens_mcu [--root DIR]: the lens MCU on a pseudo-terminal. It links "/dev/ttyS1" under the
// test root to the terminal's other end, answers the ISP server there (mcu.h), publishes the lens,
// the IR-cut filter, the IR LEDs and the iris into the simulated camera's shared state, and keeps a
// journal of every packet and write. Prints "ready <terminal>" once the link is in place; SIGTERM
// or SIGINT ends it and removes the link.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kavo/os/path.h"
#include "kavo/sim/board_sim.h"
#include "kavo/sim/core/faults.h"
#include "kavo/sim/core/files.h"
#include "kavo/sim/core/journal.h"
#include "kavo/sim/iav_sim.h"
#include "mcu.h"

namespace {

using namespace kavo::sim;
using namespace kavo::sim::lens;

volatile sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

constexpr size_t kMaxPacket = 32;  // longer runs without FF are noise

int usage() {
  std::fprintf(stderr, "usage: kavo_sim_lens_mcu [--root DIR]\n");
  return 2;
}

bool writeAll(int fd, const uint8_t* b, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, b, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (w <= 0) return false;
    b += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}


void publish(const LensOutputs& o) {
  kavo::sim::iav::updateLensInputs([&o](kavo::sim::iav::LensInputs& l) {
    l.irCutIn = o.irCutIn;
    l.irLed = o.irLed;
    l.iris = o.iris;
    l.zoom = o.zoom;
    l.focus = o.focus;
    l.focusInfinity = o.focusInfinity;
    l.focusPerDioptre = o.focusPerDioptre;
    l.depthOfField = o.depthOfField;
    l.magnification = o.magnification;
    l.moving = o.moving;
  });
}

// The world the MCU's sensors see, asked only when a packet needs it.
Surroundings surroundingsFor(const uint8_t* p, size_t n) {
  Surroundings w;
  if (n == 5 && p[1] == 0x09 && p[2] == 0x04 && p[3] == 0xE4) {
    kavo::sim::iav::SceneNow s{};
    if (kavo::sim::iav::sceneNow(s)) {
      w.lux = s.lux;
      w.irLux = s.irLux;
    }
  } else if (n == 5 && p[1] == 0x09 && p[2] == 0x06 && p[3] == 0x12) {
    kavo::sim::board::PanTiltNow pt{};
    if (kavo::sim::board::panTiltNow(pt)) {
      w.pan = pt.pan;
      w.tilt = pt.tilt;
    }
  }
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      ::setenv("KAVO_ROOT", argv[++i], 1);
    } else {
      return usage();
    }
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  McuConfig config;
  std::string error;
  const std::string configFile = kavo::os::path("/etc/kavo_sim/lens_mcu.json");
  if (!parseConfig(readFile(configFile), config, error)) {
    std::fprintf(stderr, "kavo_sim_lens_mcu: %s: %s\n", configFile.c_str(), error.c_str());
    return 2;
  }

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  char name[PATH_MAX] = "";
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
    std::perror("kavo_sim_lens_mcu: pseudo-terminal");
    return 1;
  }
  // Our own hold on the terminal keeps the line up while the server closes and reopens it.
  const int hold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  const std::string link = kavo::os::path("/dev/ttyS1");
  makeDirs(link.substr(0, link.rfind('/')));
  ::unlink(link.c_str());
  if (::symlink(name, link.c_str()) != 0) {
    std::perror("kavo_sim_lens_mcu: link");
    return 1;
  }

  const std::string run = kavo::os::path("/tmp/kavo_sim");
  makeDirs(run);
  Journal journal;
  if (config.journal) journal.open(run + "/lens_mcu.journal", nullptr);
  std::vector<McuFault> parsed;
  FaultParseOptions options;
  options.requests = {"(the lens MCU takes only \"mcu\" entries)"};
  options.reset = [&parsed]() { parsed.clear(); };
  options.other = [&parsed](const nlohmann::json& entry, std::string& why) {
    McuFault f;
    if (!parseFault(entry, f, why)) return false;
    parsed.push_back(std::move(f));
    return true;
  };
  FaultsFile faults;
  faults.setPath(run + "/lens_mcu.faults");
  FileIdentity faultsSeen;

  Mcu mcu(config, monoNs());
  LensOutputs published = mcu.outputs();
  publish(published);
  std::printf("ready %s\n", name);
  std::fflush(stdout);

  std::vector<uint8_t> rx;
  uint8_t buf[4096];
  while (!g_stop) {
    uint64_t now = monoNs();
    int timeoutMs = mcu.moving() ? 10 : 200;
    if (const uint64_t due = mcu.earliestDue(); due != 0)
      timeoutMs = due <= now ? 0 : std::min<int>(timeoutMs, static_cast<int>((due - now + 999999) / 1000000));
    pollfd p{master, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    now = monoNs();
    if (ready > 0 && (p.revents & POLLIN)) {
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) rx.insert(rx.end(), buf, buf + n);
    }
    // Packets end with FF; a run without one that grows too long is noise.
    size_t start = 0;
    for (size_t i = 0; i < rx.size(); ++i) {
      if (rx[i] != 0xFF) continue;
      // The faults file is looked at for each packet, so a test's change acts on the next one.
      const FileIdentity id = identityOf(faults.path());
      if (id != faultsSeen && (faultsSeen = id, faults.refresh(now, 0, true, options, nullptr, error))) {
        if (!error.empty()) {
          JournalLine bad;
          journal.head(bad, now);
          bad.str("faults", "ignored").str("error", error.c_str());
          journal.write(bad, false);
          parsed.clear();
        }
        mcu.setFaults(parsed);
      }
      JournalLine line;
      if (!config.journal) line.mute();
      journal.head(line, now);
      mcu.take(rx.data() + start, i + 1 - start, now, surroundingsFor(rx.data() + start, i + 1 - start), line);
      journal.write(line, false);
      start = i + 1;
    }
    rx.erase(rx.begin(), rx.begin() + static_cast<long>(start));
    if (rx.size() > kMaxPacket) {
      JournalLine line;
      journal.head(line, now);
      line.str("dir", "rx").str("bytes", hex(rx.data(), rx.size()).c_str()).str("error", "not a packet");
      journal.write(line, false);
      rx.clear();
    }
    // The camera sees what the MCU did before anyone hears that it did it.
    mcu.advance(now);
    if (const LensOutputs o = mcu.outputs(); o != published) {
      publish(o);
      published = o;
    }
    Output out;
    while (mcu.nextDue(now, out)) {
      size_t n = out.bytes.size();
      if (out.splitAt > 0 && out.splitAt < n) n = out.splitAt;
      writeAll(master, out.bytes.data(), n);
      JournalLine line;
      if (!config.journal) line.mute();
      journal.head(line, now);
      line.str("dir", "tx").str("bytes", hex(out.bytes.data(), n).c_str());
      if (out.completion) line.boolean("completion", true);
      journal.write(line, false);
      if (n < out.bytes.size()) {
        Output rest;
        rest.due = now + out.gapMs * 1000000ull;
        rest.bytes.assign(out.bytes.begin() + static_cast<long>(n), out.bytes.end());
        mcu.requeue(std::move(rest));
      }
    }
  }
  char target[PATH_MAX] = "";
  const ssize_t len = ::readlink(link.c_str(), target, sizeof target - 1);
  if (len > 0 && std::strncmp(target, name, static_cast<size_t>(len)) == 0) ::unlink(link.c_str());
  journal.close();
  if (hold >= 0) ::close(hold);
  ::close(master);
  return 0;
}
