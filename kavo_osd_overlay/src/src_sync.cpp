#include "osd.h"

namespace kavo {
namespace osd {

int main_src_sync(const std::string&, const std::string&) {
  OSD_LOG(LOG_LEVEL_WARNING, 0, "Function %s not yet implemented", __func__);
  return 0;
}

}  // namespace osd
}  // namespace kavo
