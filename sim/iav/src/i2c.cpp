// The first I2C bus, "/dev/i2c-0", with the ambient-light sensor at 0x10: a write of one byte
// selects a register, of two writes it; a read returns bytes from the selected register on. A
// measurement started through the control register is ready readyMs later (on the DSP's clock) and
// reads the scene's light and IR, the IR LEDs' leak and noise (README.md, "Light sensor").
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "kavo/os/i2c.h"
#include "random.h"
#include "sim.h"

namespace kavo {
namespace sim {
namespace iav {

int Sim::i2cAddress(Call& c) {
  c.line.object("arg").hex("address", c.arg).close();
  if (c.arg > 0x7f) return -EINVAL;
  c.file.i2cAddress = static_cast<int>(c.arg);
  return 0;
}

void Sim::lightSensorLatch() {
  CameraShared& cam = st_->camera;
  if (!cam.alsStarted || cam.alsLatched || now() < cam.alsReadyNs) return;
  refreshCamera();
  // The measurement integrates up to its ready time; its noise is fixed by that time.
  const SceneSample scene = camera_.sceneAt(cam, cam.alsReadyNs);
  double ch[2];
  lightSensorChannels(scene, cam.lens, camera_.lightConfig(), &ch[0], &ch[1]);
  uint64_t s = cam.alsReadyNs * 0x9e3779b97f4a7c15ull + 1;
  for (int i = 0; i < 2; ++i) {
    const double v = ch[i] * (1.0 + camera_.lightConfig().noise * normal(s));
    const uint16_t counts = static_cast<uint16_t>(std::lround(std::min(65535.0, std::max(0.0, v))));
    cam.alsResult[2 * i] = static_cast<uint8_t>(counts & 0xff);
    cam.alsResult[2 * i + 1] = static_cast<uint8_t>(counts >> 8);
  }
  cam.alsLatched = 1;
}

ssize_t Sim::i2cTransfer(int fd, bool write, uint8_t* buf, size_t count) {
  FileCtx* f = fileOf(fd);
  if (f == nullptr || f->node != kI2c) {
    errno = f == nullptr ? EBADF : EINVAL;
    return -1;
  }
  JournalLine line;
  lockState();
  refreshFaults(false);
  const char* req = write ? "write" : "read";
  journalHead(line, req, fd, kI2c);
  const FaultAction fault = requestFault(req, kI2c);
  if (fault.stallMs) {
    unlockState();
    sleepUntilNs(monoNs() + fault.stallMs * 1000000ull);
    lockState();
  }
  int rc = 0;
  size_t n = count;
  if (fault.shortBytes >= 0) n = std::min(n, static_cast<size_t>(fault.shortBytes));
  line.object("arg").hex("address", static_cast<unsigned>(f->i2cAddress)).unum("count", count);
  CameraShared& cam = st_->camera;
  if (fault.err) {
    rc = -fault.err;
  } else if (f->i2cAddress != static_cast<int>(ALS_ADDRESS)) {
    rc = -ENXIO;  // nobody acknowledges the address
  } else if (write) {
    if (n >= 1) cam.alsPointer = buf[0];
    if (n >= 2 && cam.alsPointer == ALS_REG_CONTROL) {
      cam.alsControl = buf[1];
      if (buf[1] == ALS_CONTROL_START) {
        cam.alsStarted = 1;
        cam.alsLatched = 0;
        cam.alsReadyNs = now() + camera_.lightConfig().readyMs * 1000000ull;
      }
    }
    line.hex("register", cam.alsPointer);
    if (n >= 2) line.hex("value", buf[1]);
    rc = static_cast<int>(n);
  } else {
    lightSensorLatch();
    const uint8_t from = cam.alsPointer;
    for (size_t i = 0; i < n; ++i) {
      const unsigned reg = from + i;
      uint8_t v = 0;
      if (reg == ALS_REG_STATUS) v = cam.alsLatched ? 1 : 0;
      if (reg >= ALS_REG_RESULT && reg < ALS_REG_RESULT + 4u) v = cam.alsResult[reg - ALS_REG_RESULT];
      if (reg == ALS_REG_CONTROL) v = cam.alsControl;
      buf[i] = v;
    }
    line.hex("register", from);
    if (from == ALS_REG_STATUS && n >= 1) line.unum("status", buf[0]);
    if (from == ALS_REG_RESULT && n >= 4) {
      line.unum("ch0", buf[0] | buf[1] << 8).unum("ch1", buf[2] | buf[3] << 8);
    }
    rc = static_cast<int>(n);
  }
  line.close();
  if (fault.shortBytes >= 0) line.boolean("short", true);
  journalResult(line, rc, fault.any());
  unlockState();
  journal_.write(line, false);
  if (rc < 0) {
    errno = -rc;
    return -1;
  }
  return rc;
}

ssize_t Sim::read(int fd, void* buf, size_t count) { return i2cTransfer(fd, false, static_cast<uint8_t*>(buf), count); }

ssize_t Sim::write(int fd, const void* buf, size_t count) {
  // The write path only reads the caller's bytes.
  return i2cTransfer(fd, true, const_cast<uint8_t*>(static_cast<const uint8_t*>(buf)), count);
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
