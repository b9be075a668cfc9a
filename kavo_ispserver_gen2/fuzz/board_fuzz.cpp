// Any "/etc/board.info" read by the board detection: no crash, a board type of the table and the
// row of the table for it, which always passes its own checks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "IspServerMisc.h"
#include "kavo/test/fuzz_root.h"
#include "thread_proc/isp_globals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavo::isp;
  kavo::test::writeFuzzFile("/etc/board.info", data, size);
  g_isp.board = -1;
  if (set_system_parameters() != 0) std::abort();
  if (g_isp.board < ALDER_IR || g_isp.board > FINCH_IR || g_isp.sys.model != g_isp.board) std::abort();
  return 0;
}
