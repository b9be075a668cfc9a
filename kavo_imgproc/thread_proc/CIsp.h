#pragma once
// The image controller: created by main after board detection, initialised at start and at every
// re-initialisation, deleted at stop.
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

class CIsp {
 public:
  CIsp();
  virtual ~CIsp();
  CIsp(const CIsp&) = delete;
  CIsp& operator=(const CIsp&) = delete;

  int openDevices();
  int closeDevices();
  int initialize(SystemParameters* parameters);
};

// 3A on (1) or off (0); -1 before the controller is initialised.
int enable_aaa(CIsp* isp, int enable);
// Forgets the mirror and flip pattern in force, so that the next settings pass sends it again.
int ipc_reset_mirror_state(CIsp* isp);

}  // namespace isp
}  // namespace kavo
