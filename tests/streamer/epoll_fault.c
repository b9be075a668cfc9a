/* Preloaded into a process under test: the call number KAVO_TEST_EPOLL_FAIL_AT of epoll_wait
 * fails with EBADF, every other call goes to the real function. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/epoll.h>

typedef int (*epoll_wait_fn)(int, struct epoll_event*, int, int);

int epoll_wait(int epfd, struct epoll_event* events, int maxevents, int timeout) {
  static epoll_wait_fn real;
  static long failAt = -1;
  static long calls;
  if (real == NULL) {
    real = (epoll_wait_fn)dlsym(RTLD_NEXT, "epoll_wait");
    const char* at = getenv("KAVO_TEST_EPOLL_FAIL_AT");
    failAt = at != NULL ? atol(at) : -1;
  }
  if (++calls == failAt) {
    errno = EBADF;
    return -1;
  }
  return real(epfd, events, maxevents, timeout);
}
