// The board's small devices as one device provider: the pan/tilt unit on "/dev/spidev0.0", the GPIO
// driver on "/dev/gpiodev" and the IR LED backlight switch, on the simulator core (shared state,
// journal, faults file, request table), and the control API of board_sim.h.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "kavo/logger/logger.h"
#include "kavo/os/board_io.h"
#include "kavo/os/device.h"
#include "kavo/os/path.h"
#include "kavo/sim/board_sim.h"
#include "kavo/sim/core/faults.h"
#include "kavo/sim/core/files.h"
#include "kavo/sim/core/journal.h"
#include "kavo/sim/core/requests.h"
#include "kavo/sim/core/shared_state.h"
#include "kavo/sim/iav_sim.h"
#include "pantilt.h"

namespace kavo {
namespace sim {
namespace board {

namespace {

#define BOARD_LOG(level, err, ...) logInternal("kavo_sim_board", __FILE__, __func__, __LINE__, level, err, 0, __VA_ARGS__)

constexpr uint32_t kMagic = 0x44524F42;  // "BORD"
constexpr uint32_t kVersion = 1;

constexpr uint8_t kSpi = 1, kGpio = 2, kBacklight = 4;
constexpr const char* kSpiNode = "/dev/spidev0.0";
constexpr const char* kGpioNode = "/dev/gpiodev";

const char* nodeName(uint8_t n) { return n == kSpi ? kSpiNode : n == kGpio ? kGpioNode : kIrLedBacklightPower; }

struct BoardState {
  SharedHeader head;
  pthread_mutex_t mutex;
  std::atomic<uint64_t> journalSeq;
  uint32_t faultsGen;
  uint32_t spiMode;
  uint32_t spiBits;
  uint32_t spiSpeedHz;
  PanTiltMotion pt;
  uint64_t ptCommands;
  uint32_t resetButton;
  uint32_t vportIn[2];
  uint32_t vportOut[2];
  uint32_t irLed;
  uint32_t irLed2;
  uint32_t backlight;
};

struct Call {
  uint32_t code;
  uintptr_t arg;
  BoardState& st;
  JournalLine& line;
};

class Board;
using Row = RequestRow<Board, Call>;

class Board : public kavo::os::DeviceProvider {
 public:
  int open(const char* node, int flags) override;
  int close(int fd) override;
  int ioctl(int fd, unsigned long request, uintptr_t arg) override;
  ssize_t read(int fd, void* buf, size_t count) override;
  ssize_t write(int fd, const void* buf, size_t count) override;

  // Runs `fn` on the state under its lock, attaching for the call when no descriptor is open.
  template <class F>
  bool withState(F fn) {
    std::lock_guard<std::mutex> lock(proc_);
    const bool was = st_ != nullptr;
    if (!attachLocked()) return false;
    lockRobustMutex(&st_->mutex);
    const bool ok = fn(*st_);
    pthread_mutex_unlock(&st_->mutex);
    if (!was) detachLocked();
    return ok;
  }
  void markFaultsChanged() { faultsForce_ = true; }

  int spiMode(Call& c);
  int spiBits(Call& c);
  int spiSpeed(Call& c);
  int gpioRead(Call& c);
  int gpioWrite(Call& c);

 private:
  bool attachLocked();
  void detachLocked();
  uint8_t nodeOf(int fd);
  FaultAction begin(JournalLine& line, const char* req, int fd, uint8_t node);
  void finish(JournalLine& line, int rc, bool injected);

  std::mutex proc_;
  std::string root_;
  BoardState* st_ = nullptr;
  std::map<int, uint8_t> files_;
  Journal journal_;
  FaultsFile faults_;
  FaultParseOptions options_;
  bool faultsForce_ = true;
};

#define ROW(code, nodes, ptr, fn) \
  Row { code, #code, nodes, ptr, &Board::fn }
const Row kRequests[] = {
    ROW(SPI_REQUEST_WR_MODE, kSpi, true, spiMode),
    ROW(SPI_REQUEST_WR_BITS_PER_WORD, kSpi, true, spiBits),
    ROW(SPI_REQUEST_WR_MAX_SPEED_HZ, kSpi, true, spiSpeed),
    ROW(GPIO_REQUEST_RESET_BUTTON, kGpio, true, gpioRead),
    ROW(GPIO_REQUEST_VPORT_IN0, kGpio, true, gpioRead),
    ROW(GPIO_REQUEST_VPORT_IN1, kGpio, true, gpioRead),
    ROW(GPIO_REQUEST_VPORT_OUT0, kGpio, true, gpioWrite),
    ROW(GPIO_REQUEST_VPORT_OUT1, kGpio, true, gpioWrite),
    ROW(GPIO_REQUEST_IR_LED, kGpio, true, gpioWrite),
    ROW(GPIO_REQUEST_IR_LED2, kGpio, true, gpioWrite),
};
#undef ROW

std::string runDir() { return kavo::os::path("/tmp/kavo_sim"); }

bool Board::attachLocked() {
  if (st_ != nullptr) return true;
  root_ = kavo::os::root();
  std::string error;
  void* m = mapSharedState(stateFile(), sizeof(BoardState), kMagic, kVersion,
                           [](void* record) {
                             auto* s = static_cast<BoardState*>(record);
                             initRobustMutex(&s->mutex);
                             panTiltReset(s->pt, monoNs());
                             return true;
                           },
                           error);
  if (m == nullptr) {
    BOARD_LOG(LOG_LEVEL_ERROR, errno, "board simulator: cannot set up %s: %s", stateFile().c_str(), error.c_str());
    return false;
  }
  st_ = static_cast<BoardState*>(m);
  journal_.open(journalFile(), &st_->journalSeq);
  faults_.clear();
  faults_.setPath(faultsFile());
  faultsForce_ = true;
  return true;
}

void Board::detachLocked() {
  if (st_ == nullptr) return;
  journal_.close();
  faults_.clear();
  unmapSharedState(st_, sizeof(BoardState));
  st_ = nullptr;
}

uint8_t Board::nodeOf(int fd) {
  auto it = files_.find(fd);
  return it == files_.end() ? 0 : it->second;
}

// With the process and state locks held: takes a new faults file, starts the line, asks the faults.
FaultAction Board::begin(JournalLine& line, const char* req, int fd, uint8_t node) {
  std::string error;
  const bool taken = faults_.refresh(monoNs(), st_->faultsGen, faultsForce_, options_, nullptr, error);
  faultsForce_ = false;
  if (taken && !error.empty())
    BOARD_LOG(LOG_LEVEL_ERROR, 0, "board simulator: faults file %s ignored: %s", faults_.path().c_str(), error.c_str());
  journal_.head(line, monoNs());
  line.str("node", nodeName(node)).num("fd", fd).str("req", req);
  return faults_.requests().onRequest(req, nodeName(node));
}

void Board::finish(JournalLine& line, int rc, bool injected) {
  line.num("rc", rc < 0 ? -1 : rc);
  if (rc < 0) line.num("errno", -rc).str("error", errnoName(-rc));
  if (injected) line.boolean("fault", true);
}

int Board::open(const char* node, int flags) {
  uint8_t kind = 0;
  if (std::strcmp(node, kSpiNode) == 0) kind = kSpi;
  if (std::strcmp(node, kGpioNode) == 0) kind = kGpio;
  if (std::strcmp(node, kIrLedBacklightPower) == 0) kind = kBacklight;
  if (kind == 0) {
    errno = ENODEV;
    return -1;
  }
  std::lock_guard<std::mutex> lock(proc_);
  if (st_ != nullptr && files_.empty() && kavo::os::root() != root_) detachLocked();  // a new test root
  if (!attachLocked()) {
    errno = ENODEV;
    return -1;
  }
  JournalLine line;
  lockRobustMutex(&st_->mutex);
  const FaultAction fault = begin(line, "open", -1, kind);
  int fd = -1;
  int err = fault.err;
  if (err == 0) {
    fd = ::open(stateFile().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) err = errno;
  }
  line.str("flags", (flags & O_ACCMODE) == O_RDWR ? "O_RDWR" : (flags & O_ACCMODE) == O_WRONLY ? "O_WRONLY" : "O_RDONLY");
  finish(line, fd < 0 ? -err : fd, fault.err != 0);
  pthread_mutex_unlock(&st_->mutex);
  journal_.write(line, false);
  if (fd < 0) {
    if (files_.empty()) detachLocked();
    errno = err;
    return -1;
  }
  files_[fd] = kind;
  return fd;
}

int Board::close(int fd) {
  std::lock_guard<std::mutex> lock(proc_);
  auto it = files_.find(fd);
  if (it == files_.end()) return ::close(fd);
  JournalLine line;
  lockRobustMutex(&st_->mutex);
  journal_.head(line, monoNs());
  line.str("node", nodeName(it->second)).num("fd", fd).str("req", "close").num("rc", 0);
  pthread_mutex_unlock(&st_->mutex);
  journal_.write(line, false);
  files_.erase(it);
  const int rc = ::close(fd);
  if (files_.empty()) detachLocked();
  return rc;
}

int Board::ioctl(int fd, unsigned long request, uintptr_t arg) {
  std::lock_guard<std::mutex> lock(proc_);
  const uint8_t node = nodeOf(fd);
  if (node == 0) {
    errno = EBADF;
    return -1;
  }
  const Row* r = findRequest(kRequests, static_cast<uint32_t>(request));
  JournalLine line;
  lockRobustMutex(&st_->mutex);
  int rc = 0;
  bool injected = false;
  const uint32_t ledBefore = st_->irLed | st_->irLed2;
  if (r == nullptr || (static_cast<uint64_t>(request) >> 32) != 0 || !(r->nodes & node)) {
    begin(line, r ? r->name : "unknown", fd, node);
    journalCode(line, request);
    rc = -ENOTTY;
  } else {
    const FaultAction fault = begin(line, r->name, fd, node);
    if (fault.stallMs) {
      pthread_mutex_unlock(&st_->mutex);
      sleepUntilNs(monoNs() + fault.stallMs * 1000000ull);
      lockRobustMutex(&st_->mutex);
      injected = true;
    }
    if (fault.err) {
      rc = -fault.err;
      injected = true;
    } else if (r->pointer && arg == 0) {
      rc = -EFAULT;
    } else {
      Call call{static_cast<uint32_t>(request), arg, *st_, line};
      rc = (this->*(r->handler))(call);
    }
  }
  finish(line, rc, injected);
  const uint32_t led = st_->irLed | st_->irLed2;
  pthread_mutex_unlock(&st_->mutex);
  journal_.write(line, false);
  if (rc == -ENOTTY && r == nullptr)
    BOARD_LOG(LOG_LEVEL_WARNING, ENOTTY, "board simulator: unknown request 0x%08lx on %s", request, nodeName(node));
  if (led != ledBefore)  // the LEDs light the scene for the camera's sensor
    kavo::sim::iav::updateLensInputs([led](kavo::sim::iav::LensInputs& l) { l.irLed = led ? 255 : 0; });
  if (rc < 0) {
    errno = -rc;
    return -1;
  }
  return rc;
}

int Board::spiMode(Call& c) {
  const uint8_t mode = *reinterpret_cast<const uint8_t*>(c.arg);
  c.line.object("arg").unum("mode", mode).close();
  if (mode > 3) return -EINVAL;
  c.st.spiMode = mode;
  return 0;
}

int Board::spiBits(Call& c) {
  const uint8_t bits = *reinterpret_cast<const uint8_t*>(c.arg);
  c.line.object("arg").unum("bits", bits).close();
  if (bits != 8 && bits != 16) return -EINVAL;
  c.st.spiBits = bits;
  return 0;
}

int Board::spiSpeed(Call& c) {
  const uint32_t hz = *reinterpret_cast<const uint32_t*>(c.arg);
  c.line.object("arg").unum("hz", hz).close();
  if (hz == 0) return -EINVAL;
  c.st.spiSpeedHz = hz;
  return 0;
}

int Board::gpioRead(Call& c) {
  uint32_t v = 0;
  switch (c.code) {
    case GPIO_REQUEST_RESET_BUTTON:
      v = c.st.resetButton;
      break;
    case GPIO_REQUEST_VPORT_IN0:
      v = c.st.vportIn[0];
      break;
    default:
      v = c.st.vportIn[1];
      break;
  }
  *reinterpret_cast<uint32_t*>(c.arg) = v;
  c.line.object("arg").unum("value", v).close();
  return 0;
}

int Board::gpioWrite(Call& c) {
  const uint32_t v = *reinterpret_cast<const uint32_t*>(c.arg);
  c.line.object("arg").unum("value", v).close();
  switch (c.code) {
    case GPIO_REQUEST_VPORT_OUT0:
      c.st.vportOut[0] = v;
      break;
    case GPIO_REQUEST_VPORT_OUT1:
      c.st.vportOut[1] = v;
      break;
    case GPIO_REQUEST_IR_LED:
      c.st.irLed = v != 0;
      break;
    default:
      c.st.irLed2 = v != 0;
      break;
  }
  return 0;
}

ssize_t Board::read(int fd, void* buf, size_t count) {
  std::lock_guard<std::mutex> lock(proc_);
  const uint8_t node = nodeOf(fd);
  if (node != kBacklight) {
    errno = node == 0 ? EBADF : EINVAL;
    return -1;
  }
  lockRobustMutex(&st_->mutex);
  char text[4];
  std::snprintf(text, sizeof text, "%u\n", st_->backlight);
  pthread_mutex_unlock(&st_->mutex);
  const size_t n = std::min(count, std::strlen(text));
  std::memcpy(buf, text, n);
  return static_cast<ssize_t>(n);
}

ssize_t Board::write(int fd, const void* buf, size_t count) {
  std::lock_guard<std::mutex> lock(proc_);
  const uint8_t node = nodeOf(fd);
  if (node != kSpi && node != kBacklight) {
    errno = node == 0 ? EBADF : EINVAL;
    return -1;
  }
  const auto* bytes = static_cast<const uint8_t*>(buf);
  JournalLine line;
  lockRobustMutex(&st_->mutex);
  const FaultAction fault = begin(line, "write", fd, node);
  ssize_t rc = static_cast<ssize_t>(count);
  if (fault.err) {
    rc = -fault.err;
  } else {
    size_t n = count;
    if (fault.shortBytes >= 0 && static_cast<size_t>(fault.shortBytes) < n) n = static_cast<size_t>(fault.shortBytes);
    char hex[3 * 40 + 1] = "";
    size_t at = 0;
    for (size_t i = 0; i < n && i < 40; ++i) at += std::snprintf(hex + at, sizeof hex - at, i ? " %02X" : "%02X", bytes[i]);
    line.str("bytes", hex);
    if (node == kBacklight) {
      unsigned v = 0;
      char text[16] = "";
      std::memcpy(text, bytes, std::min(n, sizeof text - 1));
      if (std::sscanf(text, "%u", &v) == 1) st_->backlight = v;
      line.unum("value", st_->backlight);
    } else {
      PanTiltCommand cmd;
      if (panTiltTake(st_->pt, bytes, n, monoNs(), cmd)) {
        ++st_->ptCommands;
        line.str("command", cmd.what);
        if (std::strcmp(cmd.what, "drive") == 0) {
          line.unum("panSpeed", cmd.panSpeed).unum("tiltSpeed", cmd.tiltSpeed).unum("x", cmd.x).unum("y", cmd.y);
        } else if (std::strcmp(cmd.what, "home") != 0 && std::strcmp(cmd.what, "reset") != 0) {
          line.num("pan", cmd.pan).num("tilt", cmd.tilt);
          if (cmd.what[0] == 'l') line.unum("corner", cmd.corner);
          else line.unum("panSpeed", cmd.panSpeed).unum("tiltSpeed", cmd.tiltSpeed);
        }
      } else {
        line.str("command", "unknown");
      }
    }
    rc = static_cast<ssize_t>(n);
  }
  finish(line, static_cast<int>(rc), fault.any());
  pthread_mutex_unlock(&st_->mutex);
  journal_.write(line, false);
  if (rc < 0) {
    errno = static_cast<int>(-rc);
    return -1;
  }
  return rc;
}

Board& board() {
  static Board* b = new Board();  // never destroyed: descriptors may still be closed during exit
  return *b;
}

struct Registrar {
  Registrar() {
    for (const char* n : {kSpiNode, kGpioNode, kIrLedBacklightPower}) kavo::os::registerDevice(n, &board());
  }
};
Registrar g_registrar;

}  // namespace

std::string stateFile() { return runDir() + "/board.state"; }
std::string journalFile() { return runDir() + "/board.journal"; }
std::string faultsFile() { return runDir() + "/board.faults"; }

bool setFaults(const std::string& json) {
  if (!writeFileAtomic(faultsFile(), json)) return false;
  board().markFaultsChanged();
  return board().withState([](BoardState& s) {
    ++s.faultsGen;
    return true;
  });
}

bool panTiltNow(PanTiltNow& out) {
  return board().withState([&out](BoardState& s) {
    panTiltAdvance(s.pt, monoNs());
    out.pan = static_cast<int32_t>(s.pt.pan < 0 ? s.pt.pan - 0.5 : s.pt.pan + 0.5);
    out.tilt = static_cast<int32_t>(s.pt.tilt < 0 ? s.pt.tilt - 0.5 : s.pt.tilt + 0.5);
    out.moving = panTiltMoving(s.pt) ? 1 : 0;
    out.spiMode = s.spiMode;
    out.spiBits = s.spiBits;
    out.spiSpeedHz = s.spiSpeedHz;
    out.commands = s.ptCommands;
    return true;
  });
}

bool gpio(Gpio& out) {
  return board().withState([&out](BoardState& s) {
    out.resetButton = s.resetButton;
    out.vportIn[0] = s.vportIn[0];
    out.vportIn[1] = s.vportIn[1];
    out.vportOut[0] = s.vportOut[0];
    out.vportOut[1] = s.vportOut[1];
    out.irLed = s.irLed;
    out.irLed2 = s.irLed2;
    out.backlightPower = s.backlight;
    return true;
  });
}

bool setGpioInputs(uint32_t resetButton, uint32_t vportIn0, uint32_t vportIn1) {
  return board().withState([=](BoardState& s) {
    s.resetButton = resetButton;
    s.vportIn[0] = vportIn0;
    s.vportIn[1] = vportIn1;
    return true;
  });
}

}  // namespace board
}  // namespace sim
}  // namespace kavo
