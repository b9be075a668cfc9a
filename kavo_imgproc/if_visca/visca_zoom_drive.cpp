#include "if_visca/visca_zoom_drive.h"

#include <unistd.h>

#include "algo_af/CAFControl.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

void releaseAfDataLock(CAFControl* af) {
  LensMotionFlags& f = g_isp.lensLink.flags;
  if (f.G_AF_NotDataLock.load() != 0) return;
  for (int i = 0; i < 50; ++i) {
    if (f.G_AF_NotDataLock.load() != 0) return;
    usleep(1);
  }
  if (af != nullptr) {
    AfLens& lens = af->lensPort();
    uint32_t v = 0;
    if (lens.getZoom(&v)) af->m_iCurrZoomPosition.store(v);
    usleep(10);
    if (lens.getFocus(&v)) af->m_iCurrFocusPosition.store(v);
  }
  f.G_AF_NotDataLock.store(1);
  if (af != nullptr) af->movePending.store(0);
}

void continuousZoom(DVisca*, bool tele) {
  LensMotionFlags& f = g_isp.lensLink.flags;
  CAFControl* af = afControl();
  f.G_ZoomDriving.store(1);
  f.G_ATF_On.store(1);
  if (g_isp.sys.systemType == ZOOMLENS) {
    for (int i = 0; i < 400 && f.G_Wait_AF_Off.load() != 0; ++i) {
    }
    if (!tele) usleep(10);
    if (f.G_ZoomAccept.load() != 0 && f.G_AF_NotDataLock.load() == 0) releaseAfDataLock(af);
  }
  if (af == nullptr) return;
  af->lensPort().zoomDrive(tele);
  f.G_ZoomTrigArmed.store(1);
  af->noSeekFrames.store(0);
  goBacktoPreSeek(af);
}

}  // namespace isp
}  // namespace kavo
