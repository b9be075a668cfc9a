#include "fe_subcpu/subcpu_link.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kavo/os/device.h"
#include "kavo/utils/clock.h"

namespace kavo {
namespace isp {

namespace {

constexpr int kReplyPolls = 101;        // 10 ms apart: about 1.01 s
constexpr int kDirectPolls = 25000;
constexpr uint32_t kDirectMaxBytes = 21;
constexpr int kAckLimit = 10000000;
constexpr int kWriteRefusals = 100;  // 200 us apart

McuReplySlot& slot() { return g_isp.lensLink.mcuReply; }

uint8_t header(uint32_t own, bool broadcast, uint32_t peer) {
  return static_cast<uint8_t>(0x80 | (own << 4) | (broadcast ? 0x08 : peer));
}

}  // namespace

uint8_t writePacket(SubCpuLink& link, const ViscaPacket& packet) {
  if (g_isp.sys.systemType != ZOOMLENS) return kViscaFail;
  std::shared_lock<std::shared_mutex> use(link.inUse);
  const int fd = link.descriptor.load(std::memory_order_acquire);
  if (fd < 0 || packet.length == 0 || packet.length > kViscaPacketBytes) return kViscaFail;
  // Senders share the line without a lock of ours; the terminal's own write lock refuses a
  // non-blocking writer with EAGAIN while another thread's packet goes out, so such a refusal is
  // tried again shortly instead of failing the packet.
  uint32_t done = 0;
  for (int refusals = 0; done < packet.length;) {
    const ssize_t n = kavo::os::devWrite(fd, packet.bytes + done, packet.length - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return kViscaFail;
    if (++refusals > kWriteRefusals) return kViscaFail;
    ::usleep(200);
  }
  return kViscaOk;
}

uint8_t sendPacket(SubCpuLink& link, SubCpuPeer& peer, ViscaPacket& packet) {
  const uint32_t own = link.ownAddress.load(std::memory_order_relaxed);
  const uint32_t to = peer.address.load(std::memory_order_relaxed);
  const uint32_t broadcast = link.broadcast.load(std::memory_order_relaxed);
  if (own > 7 || to > 7 || broadcast > 1) return kViscaFail;
  packet.bytes[0] = header(own, broadcast == 1, to);
  if (!viscaAppend(packet, kViscaTerminator)) return kViscaFail;
  return writePacket(link, packet);
}

// A sequence lock with one writer: the sequence word is odd while the bytes change. The bytes are
// stored with release and loaded with acquire, so a reader that sees any new byte also sees the odd
// sequence before it, and its second look at the sequence cannot move before its byte loads.
bool postMcuReply(const uint8_t* bytes, uint32_t length) {
  if (length > kMcuReplyBytes) return false;
  McuReplySlot& s = slot();
  uint32_t words[kMcuReplyBytes / 4] = {};
  std::memcpy(words, bytes, length);
  const uint32_t seq = s.sequence.load(std::memory_order_relaxed);
  s.sequence.store(seq + 1, std::memory_order_relaxed);
  for (size_t i = 0; i < kMcuReplyBytes / 4; ++i) s.words[i].store(words[i], std::memory_order_release);
  s.length.store(length, std::memory_order_release);
  s.sequence.store(seq + 2, std::memory_order_release);
  s.posted.store(1, std::memory_order_release);
  return true;
}

void copyMcuReply(McuReply& out) {
  McuReplySlot& s = slot();
  uint32_t words[kMcuReplyBytes / 4];
  for (;;) {
    const uint32_t before = s.sequence.load(std::memory_order_acquire);
    for (size_t i = 0; i < kMcuReplyBytes / 4; ++i) words[i] = s.words[i].load(std::memory_order_acquire);
    out.length = s.length.load(std::memory_order_acquire);
    if ((before & 1) == 0 && s.sequence.load(std::memory_order_relaxed) == before) break;
  }
  std::memcpy(out.bytes, words, sizeof out.bytes);
  if (out.length > kMcuReplyBytes) out.length = kMcuReplyBytes;
}

uint8_t sendWithReply(SubCpuLink& link, SubCpuPeer& peer, ViscaPacket& packet, McuReply* reply) {
  if (packet.bytes[1] != kViscaInquiry) return sendPacket(link, peer, packet);
  // The lock covers this one exchange; see the header.
  std::lock_guard<std::mutex> exchange(link.exchange);
  McuReplySlot& s = slot();
  s.posted.store(0, std::memory_order_release);
  if (sendPacket(link, peer, packet) != kViscaOk) return kViscaFail;
  for (int i = 0;; ++i) {
    if (s.posted.load(std::memory_order_acquire) != 0) {
      if (reply != nullptr) copyMcuReply(*reply);
      return kViscaOk;
    }
    if (i == kReplyPolls) return kViscaFail;
    kavo::utils::sleepMs(10);
  }
}

// ---- direct exchanges ---------------------------------------------------------------------------

uint8_t readReplyDirect(SubCpuLink& link) {
  std::shared_lock<std::shared_mutex> use(link.inUse);
  const int fd = link.descriptor.load(std::memory_order_acquire);
  int waiting = 0;
  int polls = 0;
  while (kavo::os::devIoctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0) {
    if (++polls > kDirectPolls) return kViscaFail;
    ::usleep(0);
  }
  link.byteCount = static_cast<uint32_t>(waiting);
  uint32_t n = 0;
  while (n < kDirectMaxBytes) {
    uint8_t b = 0;
    if (kavo::os::devRead(fd, &b, 1) != 1) {
      // The rest of the packet is still on its way.
      if (++polls > kDirectPolls) return kViscaFail;
      ::usleep(0);
      continue;
    }
    link.input[n++] = b;
    if (b == kViscaTerminator) {
      link.byteCount = n;
      return kViscaOk;
    }
  }
  return kViscaFail;
}

uint8_t waitReplySync(SubCpuLink& link, SubCpuPeer&) {
  if (readReplyDirect(link) != kViscaOk) return kViscaFail;
  link.replyType = link.input[1] & 0xF0;
  for (int acks = 0; link.replyType == kReplyAck;) {
    if (++acks > kAckLimit) return kViscaOk;
    if (readReplyDirect(link) != kViscaOk) return kViscaFail;
    link.replyType = link.input[1] & 0xF0;
  }
  const uint32_t t = link.replyType;
  return t == kReplyCompletion || t == kReplyError || t == kReplyAddress ? kViscaOk : kViscaFail;
}

uint8_t setAddress(SubCpuLink& link, uint32_t* count) {
  std::lock_guard<std::mutex> exchange(link.exchange);
  // A broadcast for this one packet, without changing the link's own flag under other senders.
  ViscaPacket p;
  viscaClear(p);
  viscaAppend(p, 0x30);
  viscaAppend(p, 0x01);
  p.bytes[0] = header(link.ownAddress.load(std::memory_order_relaxed), true, 0);
  viscaAppend(p, kViscaTerminator);
  SubCpuPeer none;
  if (writePacket(link, p) != kViscaOk || waitReplySync(link, none) != kViscaOk) return kViscaFail;
  if (link.byteCount < 4 || link.byteCount % 4 != 0) return kViscaFail;
  const int cameras = static_cast<int>(link.input[link.byteCount - 2]) - 1;
  if (cameras < 1 || cameras > 7) return kViscaFail;
  if (count != nullptr) *count = static_cast<uint32_t>(cameras);
  return kViscaOk;
}

uint8_t clearInterface(SubCpuLink& link, SubCpuPeer& peer) {
  std::lock_guard<std::mutex> exchange(link.exchange);
  ViscaPacket p;
  viscaClear(p);
  viscaAppend(p, 0x01);
  viscaAppend(p, 0x00);
  viscaAppend(p, 0x01);
  if (sendPacket(link, peer, p) != kViscaOk) return kViscaFail;
  return waitReplySync(link, peer);
}

uint8_t getCameraInfo(SubCpuLink& link, SubCpuPeer& peer) {
  std::lock_guard<std::mutex> exchange(link.exchange);
  const uint32_t to = peer.address.load(std::memory_order_relaxed);
  if (to > 7) return kViscaFail;
  ViscaPacket p;
  viscaClear(p);
  p.bytes[0] = static_cast<uint8_t>(0x80 | to);
  for (uint8_t b : {uint8_t{0x09}, uint8_t{0x00}, uint8_t{0x02}, kViscaTerminator}) viscaAppend(p, b);
  if (writePacket(link, p) != kViscaOk || waitReplySync(link, peer) != kViscaOk) return kViscaFail;
  if (link.byteCount != 10) return kViscaFail;
  const uint8_t* b = link.input;
  peer.vendor = (uint32_t{b[2]} << 8) + b[3];
  peer.model = (uint32_t{b[4]} << 8) + b[5];
  peer.romVersion = (uint32_t{b[6]} << 8) + b[7];
  peer.socketNumber = b[8];
  return kViscaOk;
}

}  // namespace isp
}  // namespace kavo
