// The external frame source on its own, since no mode of the program reaches it yet:
//   kavo_osd_ext_source_probe <camera path> <time-out ms>
// init, then one read; prints "init <0|1>" and "read <0|1> status <n>".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "src_ext_reader.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <camera path> <time-out ms>\n", argv[0]);
    return 2;
  }
  const unsigned timeoutMs = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  kavo::osd::SrcExtReader reader;
  std::printf("init %d\n", reader.init(argv[1], timeoutMs) ? 1 : 0);
  kavo::analytics::MdContainer frame;
  kavo::analytics::MdReadStatusCode status = kavo::analytics::MD_READ_OK;
  const bool ok = reader.read(frame, status);
  std::printf("read %d status %d\n", ok ? 1 : 0, static_cast<int>(status));
  return 0;
}
