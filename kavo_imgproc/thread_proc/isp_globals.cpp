#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

IspGlobals g_isp;

}  // namespace isp
}  // namespace kavo
