// Holds the place of the VISCA channel until it lands: only its semaphore set is created and
// removed, so that start-up and stop behave towards other processes as the channel will; no
// thread serves requests yet.
#include "if_visca/visca_channel.h"

#include "if_visca/DVisca.h"
#include "misc/isp_log.h"
#include "misc/misc.h"

namespace kavo {
namespace isp {

namespace {
int viscaSemaphore = -1;  // main thread only
}  // namespace

DVisca::DVisca() = default;
DVisca::~DVisca() = default;

int startViscaThread() {
  // A failed second start must not lose the id of the set in use.
  int id = -1;
  if (createSemaphore(&id, kViscaKeyFile, 2) < 0) {
    ISP_LOG("visca_server", LOG_LEVEL_WARNING, 0, "[%s] Create semaphore failed !!!", __func__);
    return -1;
  }
  viscaSemaphore = id;
  return 0;
}

int stopViscaThread() {
  if (viscaSemaphore != -1) deleteSemaphore(viscaSemaphore);
  viscaSemaphore = -1;
  return 0;
}

}  // namespace isp
}  // namespace kavo
