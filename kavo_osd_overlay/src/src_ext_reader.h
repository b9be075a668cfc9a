#pragma once
// Frames from PGM files that another process drops at a fixed path. Each file is claimed by
// renaming it to "<path>.<pid>" before it is read, so the producer can drop the next one meanwhile
// and two readers never read the same file. Frames are stored under buffer id "1"; after init every
// frame must have the size of the first.
#include <string>

#include "kavo/analytics/imdreader.h"

namespace kavo {
namespace osd {

class SrcExtReader : public kavo::analytics::IMdReader {
 public:
  SrcExtReader();

  // This reader needs a path: use init(path, timeout). Logs and returns false.
  bool init(unsigned timeoutMs) override;
  // `path` is a camera path (under the test root when one is set). Reads the first frame, of any
  // size, within `timeoutMs`.
  bool init(const std::string& path, unsigned timeoutMs);
  bool dims(kavo::analytics::MdContainer& out) override;
  // status MD_READ_TIMEOUT: no file within the time-out (a FIFO or any other source that is no
  // regular file counts as none, with one log line); MD_READ_FATAL: the file could not be
  // claimed, has the wrong size, or its pixels could not be wrapped; MD_READ_OK with false: a file
  // whose header or pixels could not be read (it stays under the claim name).
  bool read(kavo::analytics::MdContainer& out, kavo::analytics::MdReadStatusCode& status) override;

 private:
  kavo::analytics::MdContainer dims_;
  bool ready_ = false;
  std::string source_;  // camera paths, as logged
  std::string claim_;
  std::string sourceFile_;  // the same under the root
  std::string claimFile_;
  unsigned timeoutMs_ = 0;
};

}  // namespace osd
}  // namespace kavo
