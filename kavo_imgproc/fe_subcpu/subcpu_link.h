#pragma once
// The packet layer of the lens link: the header and terminator a sender adds, the one write that
// puts a packet on a link, and the reply wait of an inquiry on the reply slot that the receive path
// fills. Every operation reports 0x00 (success) or 0xFF (failure).
//
// Commands are written without a lock (each packet in one write call) and return once written. An
// inquiry holds its link's exchange lock from clearing the reply slot until it has copied its
// answer, so that two inquiries never share one reply; this lock is held across the reply wait
// (about 1 s at most) on purpose: its whole job is to serialise that exchange.
#include <cstdint>

#include "fe_subcpu/subcpu.h"
#include "if_visca/visca_packet.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

// A copy of a posted reply, taken by the inquiry it answers.
struct McuReply {
  uint8_t bytes[kMcuReplyBytes];
  uint32_t length;
};

// Writes the header (own address, broadcast flag or peer address) and the terminator, then the
// packet. 0xFF without writing when an address is above 7 or the broadcast flag above 1.
uint8_t sendPacket(SubCpuLink& link, SubCpuPeer& peer, ViscaPacket& packet);
// The packet's bytes in one write call. 0xFF without touching the descriptor on a fixed-lens system,
// and when fewer bytes were written.
uint8_t writePacket(SubCpuLink& link, const ViscaPacket& packet);
// A command returns once written. An inquiry clears the reply slot's posted flag, sends and polls the
// flag every 10 ms, 101 times at most (about 1.01 s); on success the reply is copied into `reply`.
uint8_t sendWithReply(SubCpuLink& link, SubCpuPeer& peer, ViscaPacket& packet, McuReply* reply = nullptr);

// ---- the reply slot ------------------------------------------------------------------------------
// Posts a reply (receive path only); false, with nothing posted, for a reply longer than the slot.
bool postMcuReply(const uint8_t* bytes, uint32_t length);
// Copies the reply now in the slot.
void copyMcuReply(McuReply& out);

// ---- direct exchanges ------------------------------------------------------------------------------
// These read the line themselves, so they serve only while the sub-CPU thread does not receive (its
// ring lives in the same input buffer), and take the reply from the link's input buffer, where the
// direct read put it. The three interface operations hold the link's exchange lock; the two reads
// are their steps.
//
// Reads one packet of at most 21 bytes into the link's input buffer: 0x00 with byteCount = its
// length, 0xFF when nothing came (25,000 polls) or no terminator came within 21 bytes.
uint8_t readReplyDirect(SubCpuLink& link);
// Reads replies until one that is not an acknowledgement: 0x00 for a completion, an error or an
// address answer.
uint8_t waitReplySync(SubCpuLink& link, SubCpuPeer& peer);
// 88 30 01 FF; the number of devices on the line (1..7) into `count`.
uint8_t setAddress(SubCpuLink& link, uint32_t* count);
uint8_t clearInterface(SubCpuLink& link, SubCpuPeer& peer);
// 8x 09 00 02 FF; vendor, model, ROM version and socket number into the peer.
uint8_t getCameraInfo(SubCpuLink& link, SubCpuPeer& peer);

}  // namespace isp
}  // namespace kavo
