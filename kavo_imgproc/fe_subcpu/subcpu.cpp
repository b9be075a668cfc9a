// The sub-CPU object's devices and receive path.
#include "fe_subcpu/subcpu.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fe_subcpu/subcpu_link.h"
#include "kavo/os/board_io.h"
#include "kavo/os/device.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "subcpu";
constexpr int kDebug = 0;  // gate of the debug prints
constexpr int kCompletionPolls = 200;
constexpr uint32_t kPacketBytes = 32;  // the dispatch step's packet buffer

LensLinkState& lens() { return g_isp.lensLink; }

// The line is wanted elsewhere: a remote upgrade takes it, or the running thread is asked to stop.
bool lineWanted() {
  const LensLinkState& l = lens();
  return l.remoteUpgrade.load(std::memory_order_acquire) != 0 ||
         (l.thread.alive.load(std::memory_order_acquire) != 0 && l.thread.run.load(std::memory_order_acquire) == 0);
}

// Opens and sets up the serial line: raw 8N1 at 115200 baud both ways. The descriptor, or -1.
int openSerial(SubCpuLink& link) {
  const int fd = kavo::os::devOpen("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    kavo::os::devClose(fd);
    return -1;
  }
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  t.c_iflag = 0;
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | PARENB | CSTOPB | CSIZE);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    kavo::os::devClose(fd);
    return -1;
  }
  link.tty = t;
  return fd;
}

int openSpi(SubCpuLink& link) {
  const int fd = kavo::os::devOpen("/dev/spidev0.0", O_RDWR);
  if (fd < 0) return -1;
  uint8_t mode = 1;
  uint8_t bits = 8;
  uint32_t speed = 1000000;
  const char* refused = nullptr;
  if (kavo::os::devIoctl(fd, SPI_REQUEST_WR_MODE, &mode) == -1)
    refused = "can't set spi mode!";
  else if (kavo::os::devIoctl(fd, SPI_REQUEST_WR_BITS_PER_WORD, &bits) == -1)
    refused = "can't set bits per word!";
  else if (kavo::os::devIoctl(fd, SPI_REQUEST_WR_MAX_SPEED_HZ, &speed) == -1)
    refused = "can't set max speed hz!";
  if (refused != nullptr) {
    std::perror(refused);
    kavo::os::devClose(fd);
    return -1;
  }
  link.spiMode = mode;
  link.spiBits = bits;
  link.spiSpeedHz = speed;
  return fd;
}

// The link is usable from now on: own address 0, peer 1.
void publishOpen(SubCpuLink& link, SubCpuPeer& peer, std::atomic<uint32_t>& openFlag, int fd) {
  link.ownAddress.store(0, std::memory_order_relaxed);
  link.broadcast.store(0, std::memory_order_relaxed);
  peer.address.store(1, std::memory_order_relaxed);
  link.descriptor.store(fd, std::memory_order_release);
  openFlag.store(1, std::memory_order_release);
}

}  // namespace

SubCPU::SubCPU() {
  lens().zoom_bias.store(0, std::memory_order_relaxed);
  m_rxFifo.capacity = kRxFifoCapacity;
  m_rxFifo.storage = m_serial.input;
}

void SubCPU::resetRx() {
  m_rxFifo.writeIndex = 0;
  m_rxFifo.readIndex = 0;
  chunkLen_ = 0;
  discarding_ = false;
  tailPolls_ = 0;
}

SubCPU::~SubCPU() = default;

int SubCPU::openUART2FE() {
  const int fd = openSerial(m_serial);
  if (fd < 0) {
    m_serial.descriptor.store(-1, std::memory_order_release);
    ISP_LOG(kSource, LOG_LEVEL_WARNING, errno, "[openUART2FE]err_code=-1.");
    return -1;
  }
  publishOpen(m_serial, m_serialPeer, m_serialOpen, fd);
  kavo::utils::sleepMs(500);
  return 0;
}

int SubCPU::openSPI2PT() {
  const int fd = openSpi(m_spi);
  if (fd < 0) {
    m_spi.descriptor.store(-1, std::memory_order_release);
    ISP_LOG(kSource, LOG_LEVEL_WARNING, errno, "[openSPI2PT]err_code=-1.");
    return -1;
  }
  publishOpen(m_spi, m_spiPeer, m_spiOpen, fd);
  kavo::utils::sleepMs(500);
  return 0;
}

int SubCPU::openSubCPU() {
  // The ring belongs to the sub-CPU thread once it runs: it empties the ring itself while an upgrade
  // holds the line. The upgrade flag is cleared last, once the links are open again.
  if (lens().thread.alive.load(std::memory_order_acquire) == 0) resetRx();
  if (g_isp.sys.systemType == ZOOMLENS) openUART2FE();
  if (g_isp.sys.model == TORVEX_TARROW) openSPI2PT();
  lens().remoteUpgrade.store(0, std::memory_order_release);
  return 0;
}

void SubCPU::closeLink(SubCpuLink& link, std::atomic<uint32_t>& openFlag) {
  std::unique_lock<std::shared_mutex> use(link.inUse);
  const int fd = link.descriptor.exchange(-1, std::memory_order_acq_rel);
  if (fd == -1) return;
  kavo::os::devClose(fd);
  openFlag.store(0, std::memory_order_release);
}

int SubCPU::closeSubCPU() {
  if (m_serialOpen.load(std::memory_order_acquire) != 0) closeLink(m_serial, m_serialOpen);
  if (g_isp.sys.model == TORVEX_TARROW && m_spiOpen.load(std::memory_order_acquire) != 0) closeLink(m_spi, m_spiOpen);
  return 0;
}

int SubCPU::openGPIO_xBrisk() {
  const int fd = kavo::os::devOpen("/dev/gpiodev", O_RDWR);
  if (fd < 0) ISP_LOG(kSource, LOG_LEVEL_WARNING, errno, "[openGPIO_xBriskA]err_code=-1.");
  m_gpio.store(fd, std::memory_order_release);
  m_gpioOpen.store(1, std::memory_order_release);
  setIrLedon_xBrisk(0);
  return 0;
}

int SubCPU::closeGPIO() {
  if (m_gpioOpen.load(std::memory_order_acquire) >= 1) {
    const int fd = m_gpio.exchange(-1, std::memory_order_acq_rel);
    if (fd >= 0) kavo::os::devClose(fd);
    m_gpioOpen.store(0, std::memory_order_release);
  }
  return 0;
}

// ---- receive path ---------------------------------------------------------------------------------

uint32_t SubCPU::rxUsed() const {
  const RxFifo& f = m_rxFifo;
  if (f.capacity == 0) return 0;
  return f.writeIndex >= f.readIndex ? f.writeIndex - f.readIndex : f.writeIndex + f.capacity - f.readIndex;
}

// Moves the whole packets at the front of the chunk into the ring while each fits; the rest waits
// in the chunk. False when the ring was full and something waited.
bool SubCPU::pushWholePackets() {
  RxFifo& f = m_rxFifo;
  uint32_t start = 0;
  bool refused = false;
  while (start < chunkLen_) {
    const void* ff = std::memchr(chunk_ + start, kViscaTerminator, chunkLen_ - start);
    if (ff == nullptr) break;
    const uint32_t end = static_cast<uint32_t>(static_cast<const uint8_t*>(ff) - chunk_) + 1;
    const uint32_t size = end - start;
    if (size > f.capacity - 1) {
      ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[putPacketIntoRxFIFO]reply of %u bytes dropped.", size);
      start = end;
      continue;
    }
    if (rxUsed() + size > f.capacity - 1) {
      refused = rxUsed() == f.capacity - 1;
      break;
    }
    for (uint32_t i = start; i < end; ++i) {
      f.storage[f.writeIndex] = chunk_[i];
      f.writeIndex = (f.writeIndex + 1) % f.capacity;
    }
    start = end;
  }
  if (start > 0) {
    std::memmove(chunk_, chunk_ + start, chunkLen_ - start);
    chunkLen_ -= start;
  }
  return !refused;
}

int SubCPU::putPacketIntoRxFIFO() {
  std::shared_lock<std::shared_mutex> use(m_serial.inUse);
  const int fd = m_serial.descriptor.load(std::memory_order_acquire);
  auto readMore = [&]() {
    if (fd < 0 || chunkLen_ >= sizeof chunk_) return;
    const ssize_t n = kavo::os::devRead(fd, chunk_ + chunkLen_, sizeof chunk_ - chunkLen_);
    if (n > 0) chunkLen_ += static_cast<uint32_t>(n);
  };
  readMore();
  if (discarding_) {
    // The rest of a run that was too long: dropped up to and including its FF.
    const void* ff = std::memchr(chunk_, kViscaTerminator, chunkLen_);
    const uint32_t drop = ff == nullptr ? chunkLen_ : static_cast<uint32_t>(static_cast<const uint8_t*>(ff) - chunk_) + 1;
    std::memmove(chunk_, chunk_ + drop, chunkLen_ - drop);
    chunkLen_ -= drop;
    discarding_ = ff == nullptr;
  }
  // A reply whose end has not come yet is completed by later reads, 10 ms apart, for about 2 s in
  // all; then only that unfinished tail is dropped (whole replies before it stay).
  auto unfinished = [&]() { return chunkLen_ > 0 && chunk_[chunkLen_ - 1] != kViscaTerminator; };
  if (!unfinished()) tailPolls_ = 0;
  while (unfinished() && chunkLen_ < sizeof chunk_ && tailPolls_ < kCompletionPolls) {
    kavo::utils::sleepMs(10);
    ++tailPolls_;
    if (lineWanted()) break;
    readMore();
  }
  if (unfinished() && tailPolls_ >= kCompletionPolls) {
    while (chunkLen_ > 0 && chunk_[chunkLen_ - 1] != kViscaTerminator) --chunkLen_;
    tailPolls_ = 0;
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "SubCPU timeout.");
  }
  if (chunkLen_ == sizeof chunk_ && std::memchr(chunk_, kViscaTerminator, chunkLen_) == nullptr) {
    // No packet this long fits the ring: drop it and what follows up to its end.
    chunkLen_ = 0;
    discarding_ = true;
    ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[putPacketIntoRxFIFO]reply longer than %u bytes dropped.",
            static_cast<unsigned>(sizeof chunk_ - 1));
  }
  const bool full = rxUsed() == m_rxFifo.capacity - 1;
  if (!pushWholePackets()) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[putPacketIntoRxFIFO]err_code=-1.");
    return 0;
  }
  return full ? 0 : 1;
}

int SubCPU::processRxFIFO() {
  RxFifo& f = m_rxFifo;
  uint32_t used = rxUsed();
  if (used == 0) return 0;
  uint8_t packet[kPacketBytes];
  uint32_t n = 0;
  uint32_t taken = 0;
  bool ended = false;
  while (used-- > 0) {
    const uint8_t b = f.storage[f.readIndex];
    f.readIndex = (f.readIndex + 1) % f.capacity;
    ++taken;
    if (n < kPacketBytes) packet[n++] = b;
    if (b == kViscaTerminator) {
      ended = true;
      break;
    }
  }
  if (taken > kPacketBytes) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[processRxFIFO]packet of %u bytes dropped%s.", taken,
            ended ? "" : " (no end)");
    return 1;
  }
  return handleRxPacket(packet, n);
}

int SubCPU::handleRxPacket(const uint8_t* packet, uint32_t length) {
  if (length < 2 || packet[0] != 0x90) return 1;
  const uint8_t type = packet[1];
  auto dump = [&]() {
    for (uint32_t i = 0; i < length; ++i) debugPrintf(kDebug, "0x%x-", packet[i]);
    debugPrintf(kDebug, "\n");
  };
  auto post = [&]() {
    if (!postMcuReply(packet, length))
      ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[handleRxPacket]reply of %u bytes dropped: the reply slot holds %u.",
              length, static_cast<unsigned>(kMcuReplyBytes));
  };
  switch (type) {
    case 0x50:
      post();
      break;
    case 0x41:
    case 0x42:
    case 0x52:
      break;
    case 0x51: {
      CallbackInterface* cb = m_callback.load(std::memory_order_acquire);
      if (cb != nullptr) cb->callback(1);
      uint8_t moving = 1;
      m_bZFisMoving2AbsAddr.compare_exchange_strong(moving, 0, std::memory_order_acq_rel);
      break;
    }
    case 0x5A:
      dump();
      post();
      break;
    default:
      ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "Mcu reply : busy!");
      debugPrintf(kDebug, "\nreply_code=");
      dump();
      break;
  }
  return 1;
}

}  // namespace isp
}  // namespace kavo
