#pragma once
// The frame-reader interface of the analytics library: camera buffers and other frame sources are
// read the same way.
#include "kavo/analytics/mdbuffer.h"

namespace kavo {
namespace analytics {

class IMdReader {
 public:
  virtual ~IMdReader() {}
  // Waits up to `timeoutMs` for the source to deliver; true once it has.
  virtual bool init(unsigned timeoutMs) = 0;
  // The buffers' sizes as found by init.
  virtual bool dims(MdContainer& out) = 0;
  // One frame into `out` (its earlier buffers are replaced); `status` says why a false read failed.
  virtual bool read(MdContainer& out, MdReadStatusCode& status) = 0;
};

}  // namespace analytics
}  // namespace kavo
