#pragma once
// I2CDriver: the ambient-light sensor on the first I2C bus ("/dev/i2c-0", address 0x10) and its
// measuring cycle, one step per call of updatelightSensorState (the 3A thread, every 7th pass on
// model 5); the VISCA thread may run the sensor steps and read the value at the same time.
//
// Each exchange (address, write, read) takes the exchange lock and a descriptor of its own: the
// lock serialises one request-and-reply exchange on the bus, which is its whole purpose.
#include <atomic>
#include <cstdint>
#include <mutex>

namespace kavo {
namespace isp {

// One I2C exchange: write `writeLength` bytes, then read `readLength` bytes, at `address`.
struct I2CTransfer {
  uint8_t address;
  uint8_t readLength;
  uint8_t* readBuffer;
  uint8_t writeLength;
  uint8_t* writeBuffer;
};

class I2CDriver {
 public:
  static constexpr uint32_t kInitialLight = 1600;

  I2CDriver();
  virtual ~I2CDriver();
  I2CDriver(const I2CDriver&) = delete;
  I2CDriver& operator=(const I2CDriver&) = delete;

  // The bus kept open by open/close (no exchange uses it).
  int open_i2c_device();
  int open();   // 0 whatever happens
  int close();  // 0 whatever happens
  // I2C_SLAVE_FORCE on the kept descriptor.
  int set_i2c_address(int address);

  // One exchange; 0, or -1 when a part of it failed (the messages go to standard error).
  int i2c_transfer(const I2CTransfer& t);

  int lightSensorConfig();
  int lightSensorStart();
  // The status byte; 0 when it cannot be read.
  int lightSensorReadStatus();
  // The light value of the result registers; the last value when they cannot be read.
  uint32_t lightSensorReadValue();
  // One step of the measuring cycle; 0.
  int updatelightSensorState();
  // The last light value (1600 until the first reading); 1.
  int getLightSensorValue(uint32_t* out);

  int state() const { return state_.load(std::memory_order_relaxed); }

 private:
  int exchange(const I2CTransfer& t, int fd);
  std::mutex exchange_;
  std::atomic<int> fd_{-1};
  std::atomic<int> state_{0};
  std::atomic<uint32_t> lightValue_{kInitialLight};
};

// The light value of a reading: 65535 when channel 0 saturates, channel 0 - channel 1 when it is
// the larger, else 1 (never 0).
uint32_t lightValueOf(uint16_t ch0, uint16_t ch1);

}  // namespace isp
}  // namespace kavo
