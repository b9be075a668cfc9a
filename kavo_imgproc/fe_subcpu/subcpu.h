#pragma once
// The sub-CPU object: the serial link to the lens MCU ("/dev/ttyS1"), the SPI link to the pan/tilt
// unit ("/dev/spidev0.0"), the GPIO driver ("/dev/gpiodev"), the receive path through which every
// reply of the lens MCU reaches its waiting sender or the end-of-move callback, and the device
// operations that move the lens, the iris and the pan/tilt unit and read the sensors.
//
// Threads: the sub-CPU thread alone receives and dispatches; the 3A, IPC and VISCA threads send.
// What they share is atomic; an inquiry holds its link's exchange lock for its one request and
// reply (subcpu_link.h).
#include <termios.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "algo_af/CallbackInterface.h"
#include "fe_subcpu/visca_builders.h"

namespace kavo {
namespace isp {

constexpr uint32_t kRxFifoCapacity = 64;  // holds at most 63 bytes
constexpr uint32_t kLinkBufferBytes = 64;

// The receive ring (sub-CPU thread only). Empty when the indices are equal, full when
// (write + 1) % capacity == read.
struct RxFifo {
  uint32_t capacity = 0;
  uint32_t writeIndex = 0;
  uint32_t readIndex = 0;
  uint8_t* storage = nullptr;  // the serial link's input buffer
};

// One link. The descriptor, addresses and flags are read by every sending thread while an open or
// a close (start-up, a remote upgrade) may change them.
struct SubCpuLink {
  std::atomic<int> descriptor{-1};
  termios tty{};               // serial line settings
  uint32_t spiSpeedHz = 0;     // SPI clock, mode and word size as set
  uint32_t spiMode = 0;
  uint32_t spiBits = 0;
  std::atomic<uint32_t> ownAddress{0};  // 0..7
  std::atomic<uint32_t> broadcast{0};   // 0 or 1
  uint8_t input[kLinkBufferBytes] = {};
  uint32_t byteCount = 0;  // a direct read: bytes waiting, then the length of the packet read
  uint32_t replyType = 0;  // a direct wait: high nibble of the last reply's type byte
  // Held by an inquiry from clearing the reply slot to copying its answer, and by the direct
  // exchanges: one request-and-reply exchange at a time on this link.
  std::mutex exchange;
  // Held shared while a thread reads or writes the descriptor, and exclusively to close it: a close
  // (a remote upgrade takes the line) never pulls the descriptor from under a read or write, whose
  // number the next open could otherwise hand to another file.
  std::shared_mutex inUse;
};

struct SubCpuPeer {
  std::atomic<uint32_t> address{0};  // 0..7; 1 once the link is open
  uint32_t vendor = 0;
  uint32_t model = 0;
  uint32_t romVersion = 0;
  uint32_t socketNumber = 0;
};

class SubCPU {
 public:
  SubCPU();
  ~SubCPU();
  SubCPU(const SubCPU&) = delete;
  SubCPU& operator=(const SubCPU&) = delete;

  // ---- devices ----------------------------------------------------------------------------------
  int openSubCPU();
  int closeSubCPU();
  int openUART2FE();
  int openSPI2PT();
  int openGPIO_xBrisk();
  int closeGPIO();
  // The end-of-move report goes to `cb` from now on (null: nowhere).
  void setCallback(CallbackInterface* cb) { m_callback.store(cb, std::memory_order_release); }

  // ---- receive path (sub-CPU thread) --------------------------------------------------------------
  // Reads what the line holds into the ring: 0 when the ring was full, else 1.
  int putPacketIntoRxFIFO();
  // Takes one packet out of the ring and handles it: 0 when the ring is empty, else 1.
  int processRxFIFO();
  int handleRxPacket(const uint8_t* packet, uint32_t length);
  // Bytes in the ring.
  uint32_t rxUsed() const;
  // Empties the ring and what waits for it (the sub-CPU thread while an upgrade holds the line).
  void resetRx();

  // ---- lens MCU commands: 1 when sent, 0 when not ---------------------------------------------------
  int setICR(int flag);
  int lensInit();
  int isMcuReady();
  int setIrisBias(uint32_t value);
  int setDCIrisMode(int flag);
  int setIrisDirect(uint32_t position);
  int setIrisBalance(uint32_t value);
  int setDCIrisDriver(uint32_t value);
  int setPowerLedTime(uint32_t interval);
  int setIrLedLevel(uint32_t level);
  int setHeater(uint32_t channel, uint32_t on);
  int setZoomBias(uint32_t value);
  int setFocusWideBias(uint32_t value);
  int setFocusTeleBias(uint32_t value);
  int setTrackingCurve(uint32_t curve);
  int setTrackingCurveAF(uint32_t curve);
  int zoomStop();
  int zoomTele();
  int zoomWide();
  int setZoom(uint32_t position);
  // 0 when the move was not sent, else 1 (also when its end was not reported within 15 s).
  int syncAbsZoom_WaitCompletion(uint32_t zoom);
  int syncAbsZoomFocus_WaitCompletion(uint32_t zoom, uint32_t focus);
  int setFocus(uint32_t position);
  int focusStop();
  int focusNear();
  int focusFar();
  int focusStopUnlessAF();

  // ---- lens MCU inquiries ---------------------------------------------------------------------------
  // 1 with the position, or 0 (and the position 0) after three answers out of range or failures.
  int getZoom(uint32_t* zoom);
  int getFocus(uint32_t* focus);
  // 1 with the value, 0 with `value` unchanged.
  int getZoomBias(uint32_t* value);
  int getFocusWideBias(int32_t* value);
  int getFocusMidBias(int32_t* value);
  int getFocusTeleBias(int32_t* value);
  // The lens MCU's zoom/focus correction is done (the ready flag); once 1, always 1.
  int getZFCorrectionStatus();
  int getFocusTrackingBiasTele(int32_t* value);
  int getFocusTrackingBias(int32_t* value);
  // Sensors: 0 with the value, 1 with `value` unchanged.
  int inqLightSensor(uint32_t* value);
  int inqTemperatureE1(uint32_t* value);
  int inqTemperatureE2(uint32_t* value);
  int inqTemperatureE3(uint32_t* value);
  int inqTemperatureE5(uint32_t* value);
  int inqTemperatureE7(uint32_t* value);
  int inqTemperatureE8(uint32_t* value);
  int inqHumidity(uint32_t* value);
  int inqLensHallSensor(uint32_t* value);

  // ---- pan/tilt: 0x00 or 0xFF ------------------------------------------------------------------------
  uint8_t ptUp(uint8_t panSpeed, uint8_t tiltSpeed);
  uint8_t ptDown(uint8_t panSpeed, uint8_t tiltSpeed);
  uint8_t ptLeft(uint8_t panSpeed, uint8_t tiltSpeed);
  uint8_t ptRight(uint8_t panSpeed, uint8_t tiltSpeed);
  uint8_t ptUpLeft(uint8_t panSpeed, uint8_t tiltSpeed);
  uint8_t ptUpRight(uint8_t panSpeed, uint8_t tiltSpeed);
  uint8_t ptDownLeft(uint8_t panSpeed, uint8_t tiltSpeed);
  uint8_t ptDownRight(uint8_t panSpeed, uint8_t tiltSpeed);
  uint8_t ptStop(uint8_t panSpeed, uint8_t tiltSpeed);
  uint8_t ptAbsolute(uint8_t panSpeed, uint8_t tiltSpeed, int32_t pan, int32_t tilt);
  uint8_t ptRelative(uint8_t panSpeed, uint8_t tiltSpeed, int32_t pan, int32_t tilt);
  uint8_t ptHome();
  uint8_t ptReset();
  uint8_t ptLimitSetUpRight(int32_t pan, int32_t tilt);
  uint8_t ptLimitSetDownLeft(int32_t pan, int32_t tilt);
  uint8_t ptLimitClearUpRight();
  uint8_t ptLimitClearDownLeft();
  // Inquiries on the serial link; the out-parameters change only on success.
  uint8_t inqPtMode(uint16_t* mode);
  uint8_t inqPtMaxSpeed(uint8_t* panSpeed, uint8_t* tiltSpeed);
  uint8_t inqPtPosition(int32_t* pan, int32_t* tilt);

  // ---- GPIO: 1 whatever happens (failures are logged) ----------------------------------------------
  int getVportInput(int channel, uint32_t* value);
  int setVportOutput(int channel, uint32_t value);
  // The button's value; 0 (not pressed) when the request fails.
  int getResetButton_xBrisk();
  int setIrLedon_xBrisk(uint32_t on);

  // ---- fields (the operations of other parts read and set some of them) ----------------------------
  RxFifo m_rxFifo;
  SubCpuLink m_serial;
  SubCpuPeer m_serialPeer;
  SubCpuLink m_spi;
  SubCpuPeer m_spiPeer;
  std::atomic<uint32_t> m_serialOpen{0};
  std::atomic<uint32_t> m_spiOpen{0};
  std::atomic<int> m_gpio{-1};
  std::atomic<uint32_t> m_gpioOpen{0};
  std::atomic<uint8_t> m_irLedFirstUse{1};
  std::atomic<uint8_t> m_zfCorrectionLatch{0};
  std::atomic<uint8_t> m_bZFisMoving2AbsAddr{0};  // an absolute move waits for its end
  std::atomic<CallbackInterface*> m_callback{nullptr};

 private:
  void closeLink(SubCpuLink& link, std::atomic<uint32_t>& openFlag);
  bool pushWholePackets();
  int command(ViscaOp op, const uint32_t* args = nullptr, size_t count = 0);
  int sensor(ViscaOp op, uint32_t* value);
  int signedInquiry(ViscaOp op, int32_t* value);
  uint8_t panTilt(ViscaOp op, const uint32_t* args = nullptr, size_t count = 0);
  int waitCompletion(const char* who);
  int positionWithRetries(ViscaOp op, uint32_t* out, const char* fallbackMessage);

  // Receive staging (sub-CPU thread): what was read and not yet in the ring.
  uint8_t chunk_[kLinkBufferBytes] = {};
  uint32_t chunkLen_ = 0;
  bool discarding_ = false;  // dropping a run too long for the ring until its FF
  int tailPolls_ = 0;        // 10 ms polls an unfinished reply has waited for its end
};

// The empty placeholder component created beside SubCPU.
class SubCPUStub {
 public:
  SubCPUStub() {}
  ~SubCPUStub() {}
};

}  // namespace isp
}  // namespace kavo
