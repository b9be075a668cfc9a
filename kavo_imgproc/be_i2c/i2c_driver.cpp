#include "be_i2c/i2c_driver.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

#include "kavo/os/device.h"
#include "kavo/os/i2c.h"
#include "misc/isp_log.h"

namespace kavo {
namespace isp {

using namespace kavo::os;

namespace {
constexpr const char* kBus = "/dev/i2c-0";
}

uint32_t lightValueOf(uint16_t ch0, uint16_t ch1) {
  if (ch0 == 0xffff) return 0xffff;
  return ch0 > ch1 ? static_cast<uint32_t>(ch0 - ch1) : 1u;
}

I2CDriver::I2CDriver() = default;

I2CDriver::~I2CDriver() { close(); }

int I2CDriver::open_i2c_device() {
  const int fd = devOpen(kBus, O_RDWR);
  if (fd < 0) {
    std::fprintf(stderr, "Fail to open %s", kBus);
    return -1;
  }
  const int old = fd_.exchange(fd);
  if (old >= 0) devClose(old);
  return 0;
}

int I2CDriver::open() {
  open_i2c_device();
  return 0;
}

int I2CDriver::close() {
  const int fd = fd_.exchange(-1);
  if (fd >= 0) devClose(fd);
  return 0;
}

int I2CDriver::set_i2c_address(int address) {
  if (devIoctl(fd_.load(), I2C_REQUEST_SLAVE_FORCE, static_cast<uintptr_t>(address)) < 0) {
    std::fprintf(stderr, "Fail to set i2c_addr %d\n", address);
    return -1;
  }
  return 0;
}

int I2CDriver::exchange(const I2CTransfer& t, int fd) {
  int rc = 0;
  if (devIoctl(fd, I2C_REQUEST_SLAVE_FORCE, uintptr_t{t.address}) < 0) {
    std::fprintf(stderr, "Fail to set i2c_addr %d\n", t.address);
    rc = -1;
  }
  if (t.writeLength != 0 && devWrite(fd, t.writeBuffer, t.writeLength) != t.writeLength) {
    std::fprintf(stderr, "Fail to send data\n");
    rc = -1;
  }
  if (t.readLength != 0 && devRead(fd, t.readBuffer, t.readLength) != t.readLength) {
    std::fprintf(stderr, "Fail to receive data\n");
    rc = -1;
  }
  return rc;
}

int I2CDriver::i2c_transfer(const I2CTransfer& t) {
  // One exchange at a time on the bus, each on a descriptor of its own (the 3A and the VISCA
  // threads both talk to the sensor).
  std::lock_guard<std::mutex> lock(exchange_);
  const int fd = devOpen(kBus, O_RDWR);
  if (fd < 0) std::fprintf(stderr, "Fail to open %s", kBus);
  const int rc = exchange(t, fd);
  if (fd >= 0) devClose(fd);
  return fd < 0 ? -1 : rc;
}

int I2CDriver::lightSensorConfig() {
  uint8_t w[2] = {ALS_REG_CONTROL, ALS_CONTROL_CONFIGURE};
  i2c_transfer(I2CTransfer{ALS_ADDRESS, 0, nullptr, 2, w});
  return 0;
}

int I2CDriver::lightSensorStart() {
  uint8_t w[2] = {ALS_REG_CONTROL, ALS_CONTROL_START};
  i2c_transfer(I2CTransfer{ALS_ADDRESS, 0, nullptr, 2, w});
  return 0;
}

int I2CDriver::lightSensorReadStatus() {
  uint8_t w[1] = {ALS_REG_STATUS};
  uint8_t r[1] = {0};
  // A status that cannot be read counts as "not ready".
  if (i2c_transfer(I2CTransfer{ALS_ADDRESS, 1, r, 1, w}) != 0) return 0;
  return r[0];
}

uint32_t I2CDriver::lightSensorReadValue() {
  uint8_t w[1] = {ALS_REG_RESULT};
  uint8_t r[4] = {0, 0, 0, 0};
  // A result that cannot be read (a NAK, a short read) keeps the last value.
  if (i2c_transfer(I2CTransfer{ALS_ADDRESS, 4, r, 1, w}) != 0) return lightValue_.load();
  return lightValueOf(static_cast<uint16_t>(r[0] | r[1] << 8), static_cast<uint16_t>(r[2] | r[3] << 8));
}

int I2CDriver::updatelightSensorState() {
  switch (state_.load()) {
    case 0:
      state_.store(1);
      break;
    case 1:
      lightSensorConfig();
      state_.store(2);
      break;
    case 2:
      lightSensorStart();
      state_.store(3);
      break;
    case 3:
      state_.store(lightSensorReadStatus() != 0 ? 4 : 2);
      break;
    case 4:
      lightValue_.store(lightSensorReadValue());
      state_.store(2);
      break;
    default:
      ISP_LOG("i2c_driver", LOG_LEVEL_WARNING, 0, "unknown updatelightSensor\n");
      break;
  }
  return 0;
}

int I2CDriver::getLightSensorValue(uint32_t* out) {
  *out = lightValue_.load();
  return 1;
}

}  // namespace isp
}  // namespace kavo
