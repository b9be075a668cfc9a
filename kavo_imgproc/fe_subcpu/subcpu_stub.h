#pragma once
// Holds the place of the sub-CPU link (the lens MCU on the serial line, the pan/tilt unit, the GPIO
// driver) and of its reply thread until they land: only what the controller and main call of them.
// Nothing is opened; a zoom-lens board runs without its lens.
#include <atomic>
#include <cstdint>

namespace kavo {
namespace isp {

class CallbackInterface;

class SubCPU {
 public:
  // The serial line to the lens MCU (zoom-lens boards) and the SPI link (board 3).
  int openSubCPU();
  int closeSubCPU();
  // The GPIO driver (reset button, video ports, IR LEDs).
  int openGPIO_xBrisk();
  int closeGPIO();
  // Who hears of finished lens moves.
  void setCallback(CallbackInterface* callback) { callback_.store(callback, std::memory_order_release); }
  CallbackInterface* callback() const { return callback_.load(std::memory_order_acquire); }
  // Times openSubCPU ran (tests: a fixed-lens board never opens the link).
  std::atomic<uint32_t> serialOpens{0};

 private:
  std::atomic<CallbackInterface*> callback_{nullptr};
};

// Holds the place beside SubCPU in the component table; nothing uses it.
class SubCPUStub {};

// The reply thread of the link (zoom-lens boards): 0 without a thread.
int startSubCPUThread();
int stopSubCPUThread();

}  // namespace isp
}  // namespace kavo
