// Holds the place of the IPC front end until it lands: the server runs without IPC.
#include "ispserver_api.h"

namespace kavo {
namespace isp {

int startExtAPIThread(IspSettings*) { return 0; }

}  // namespace isp
}  // namespace kavo
