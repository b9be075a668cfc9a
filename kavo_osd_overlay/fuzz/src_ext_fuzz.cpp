// Any file dropped for the OSD program's external frame source: the first read as the frame that
// sets the size, then the same bytes as a later frame. No crash, a frame only with pixels of the
// header's size, and nothing left claimed after a frame is taken.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kavo/analytics/pgm.h"
#include "kavo/test/fuzz_root.h"
#include "src_ext_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavo::analytics;
  const std::string claim = kavo::test::fuzzRoot() + "/tmp/osd_src.pgm." + std::to_string(::getpid());
  kavo::test::writeFuzzFile("/tmp/osd_src.pgm", data, size);
  kavo::osd::SrcExtReader reader;
  if (!reader.init("/tmp/osd_src.pgm", 1000)) {
    ::unlink(claim.c_str());
    return 0;
  }
  if (::access(claim.c_str(), F_OK) == 0) std::abort();
  MdContainer dims;
  reader.dims(dims);
  MdBuffer& first = dims.Get()["1"];
  if (first.Width() == 0 || first.Height() == 0 || first.Width() > kPgmMaxSide || first.Height() > kPgmMaxSide)
    std::abort();
  kavo::test::writeFuzzFile("/tmp/osd_src.pgm", data, size);
  MdContainer frame;
  MdReadStatusCode status = MD_READ_OK;
  if (!reader.read(frame, status) || status != MD_READ_OK) std::abort();
  MdBuffer& second = frame.Get()["1"];
  if (second.Width() != first.Width() || second.Height() != first.Height()) std::abort();
  return 0;
}
