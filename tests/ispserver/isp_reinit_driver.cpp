// The ISP server as its main runs it, beside a thread that asks for a re-initialisation every N
// milliseconds as the IPC front end does on "ReInitIsp" (the long runs under ThreadSanitizer, the
// re-initialisation storm tests). Stops on SIGTERM or SIGINT like the server; exits with its status.
//
//   kavo_isp_reinit_driver [PERIOD_MS]   (default 3000)
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "IspServer.h"
#include "thread_proc/isp_globals.h"

int main(int argc, char** argv) {
  const long period = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 3000;
  if (period <= 0) {
    std::fprintf(stderr, "usage: kavo_isp_reinit_driver [PERIOD_MS]\n");
    return 2;
  }
  std::atomic<bool> done{false};
  std::atomic<int> asked{0};
  // The stop signals stay with the server's main thread.
  sigset_t stop, old;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, &old);
  std::thread asker([&] {
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(period);
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (std::chrono::steady_clock::now() < next) continue;
      next += std::chrono::milliseconds(period);
      if (kavo::isp::requestReinit()) asked.fetch_add(1);
    }
  });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  const int status = kavo::isp::ispServerMain();
  done.store(true);
  asker.join();
  std::fprintf(stderr, "re-initialisations asked: %d\n", asked.load());
  return status;
}
