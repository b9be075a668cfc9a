#pragma once
// The small devices of the zoom-lens boards on a PC (libkavo_sim_board): the pan/tilt unit on the
// SPI bus ("/dev/spidev0.0"), the GPIO driver ("/dev/gpiodev") and the IR LED backlight switch
// ("/sys/class/backlight/pwm-backlight.1/bl_power"). Programs reach them through the device seam;
// these functions are for tests, tools and the lens-MCU emulator (README.md beside the sources).
#include <cstdint>
#include <string>

namespace kavo {
namespace sim {
namespace board {

std::string stateFile();    // "/tmp/kavo_sim/board.state" under the root
std::string journalFile();  // "/tmp/kavo_sim/board.journal"
std::string faultsFile();   // "/tmp/kavo_sim/board.faults"

// Writes the faults file and makes every attached process take it at its next request.
bool setFaults(const std::string& json);

// The pan/tilt unit now (positions in the unit's steps; it moves while driven).
struct PanTiltNow {
  int32_t pan;
  int32_t tilt;
  uint32_t moving;   // 1 while it drives or travels to a target
  uint32_t spiMode;  // as the last requests set the bus
  uint32_t spiBits;
  uint32_t spiSpeedHz;
  uint64_t commands;  // pan/tilt packets taken
};
bool panTiltNow(PanTiltNow& out);

// The GPIO lines.
struct Gpio {
  uint32_t resetButton;  // inputs (set by tests)
  uint32_t vportIn[2];
  uint32_t vportOut[2];  // outputs (set by the program)
  uint32_t irLed;
  uint32_t irLed2;
  uint32_t backlightPower;  // the last value written to the backlight switch
};
bool gpio(Gpio& out);
// Sets the inputs (reset button, video-port inputs 0 and 1).
bool setGpioInputs(uint32_t resetButton, uint32_t vportIn0, uint32_t vportIn1);

}  // namespace board
}  // namespace sim
}  // namespace kavo
