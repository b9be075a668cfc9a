// The lens link's receive path on arbitrary line input: chunks as the line delivers them go into the
// ring, packets come out and are handled. Input: a series of chunks, each a length byte then that
// many bytes (the last chunk takes what is left). Whatever comes, the ring holds at most 63 bytes,
// a posted reply is one whole packet of at most 16 bytes, and nothing is read out of bounds.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_link.h"
#include "kavo/logger/logger.h"
#include "kavo/utils/clock.h"
#include "thread_proc/isp_globals.h"

using namespace kavo::isp;

namespace {

class Count : public CallbackInterface {
 public:
  int callback(int) override { return ++calls; }
  int calls = 0;
};

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kavo::utils::setSleepsAdvanceMomentsForTest(true);  // the completion polls take no time
  kavo::logger::setSink([](const kavo::logger::LogRecord&) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int line[2];
  if (::pipe2(line, O_NONBLOCK) != 0) return 0;
  g_isp.sys.systemType = FIXLENS;  // the ring without opening a terminal
  g_isp.lensLink.mcuReply.posted.store(0);
  SubCPU s;
  Count cb;
  s.openSubCPU();
  s.setCallback(&cb);
  s.m_serial.descriptor.store(line[0]);
  size_t at = 0;
  while (at < size) {
    size_t n = data[at++];
    if (n > size - at) n = size - at;
    if (n > 0 && ::write(line[1], data + at, n) != static_cast<ssize_t>(n)) break;
    at += n;
    s.putPacketIntoRxFIFO();
    check(s.rxUsed() <= 63);
    while (s.processRxFIFO() != 0) check(s.rxUsed() <= 63);
    if (g_isp.lensLink.mcuReply.posted.exchange(0) != 0) {
      McuReply r;
      copyMcuReply(r);
      check(r.length >= 2 && r.length <= 16 && r.bytes[0] == 0x90 && r.bytes[r.length - 1] == 0xFF);
      check(std::memchr(r.bytes, 0xFF, r.length) == r.bytes + r.length - 1);
    }
  }
  s.m_serial.descriptor.store(-1);
  ::close(line[0]);
  ::close(line[1]);
  return 0;
}
