#include "kavo/threading/autothread.h"

#include <cstring>

#include "kavo/logger/logger.h"

namespace kavo {
namespace threading {

ICancellable::~ICancellable() = default;
IThreadRoutine::~IThreadRoutine() = default;

AutoThread::AutoThread(IThreadRoutine* routine) : routine_(routine) {
  if (routine_ == nullptr) {
    logInternal("kavo_threading", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, 0, 0, "No thread routine given");
    return;
  }
  running_ = true;
  int err = ::pthread_create(&thread_, nullptr, &AutoThread::Entry, this);
  if (err != 0) {
    running_ = false;
    logInternal("kavo_threading", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, err, 0, "Unable to create thread: %s",
                std::strerror(err));
    return;
  }
  started_ = true;
}

AutoThread::~AutoThread() {
  if (!started_ || joined_) return;
  Cancel();
  if (::pthread_equal(thread_, ::pthread_self())) {
    // Destroyed from its own routine: nobody can wait for it, so let it finish on its own.
    ::pthread_detach(thread_);
    return;
  }
  Join();
}

void* AutoThread::Entry(void* self) {
  auto* t = static_cast<AutoThread*>(self);
  t->result_ = t->routine_->ThreadRoutine();
  t->running_ = false;
  return nullptr;
}

void AutoThread::Cancel() {
  if (routine_ != nullptr) routine_->Cancel();
}

bool AutoThread::Join() {
  if (!started_) return false;
  if (joined_) return true;
  if (::pthread_equal(thread_, ::pthread_self())) {
    logInternal("kavo_threading", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, 0, 0,
                "A thread cannot join itself");
    return false;
  }
  int err = ::pthread_join(thread_, nullptr);
  if (err != 0) {
    logInternal("kavo_threading", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, err, 0, "Unable to join thread: %s",
                std::strerror(err));
    return false;
  }
  joined_ = true;
  return true;
}

}  // namespace threading
}  // namespace kavo
