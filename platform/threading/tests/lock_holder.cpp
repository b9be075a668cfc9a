// Helper process of the lock tests: kavo_lock_holder <name> <blocking 0|1> <hold|try>
//   hold: acquires (waiting or not as told), prints "held" and keeps the lock until its standard
//         input closes; exit 0, or 1 when the lock could not be taken.
//   try:  exit 0 when the lock could be taken at once, 1 when not.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "kavo/threading/interprocessmutex.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  kavo::threading::InterProcessMutex lock(argv[1], std::strcmp(argv[2], "1") == 0);
  if (lock.acquire() != 0) return 1;
  if (std::strcmp(argv[3], "hold") != 0) return 0;
  std::printf("held\n");
  std::fflush(stdout);
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  return 0;
}
