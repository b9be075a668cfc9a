#pragma once
// A thread that runs one routine until it is cancelled.
#include <atomic>
#include <pthread.h>

namespace kavo {
namespace threading {

class ICancellable {
 public:
  virtual void Cancel() = 0;
  virtual ~ICancellable();
};

class IThreadRoutine : public ICancellable {
 public:
  ~IThreadRoutine() override;
  // Runs on the thread; returns when Cancel has been called (or when its work is done).
  virtual int ThreadRoutine() = 0;
};

// Starts a thread running routine->ThreadRoutine() at construction. The destructor cancels the
// routine and joins the thread, so the routine must outlive the AutoThread and its
// ThreadRoutine must return soon after Cancel. The routine is not owned.
class AutoThread : public ICancellable {
 public:
  explicit AutoThread(IThreadRoutine* routine);
  ~AutoThread() override;
  AutoThread(const AutoThread&) = delete;
  AutoThread& operator=(const AutoThread&) = delete;

  // Cancels the routine (routine->Cancel()); the thread ends when ThreadRoutine returns.
  void Cancel() override;
  // Waits for ThreadRoutine to return. False when the thread never started or when called on
  // the thread itself; true afterwards, also on later calls.
  bool Join();
  bool IsStarted() const { return started_; }
  // ThreadRoutine has not returned yet.
  bool IsRunning() const { return running_.load(); }
  // ThreadRoutine's result, valid after Join.
  int Result() const { return result_; }

 private:
  static void* Entry(void* self);

  IThreadRoutine* routine_;
  pthread_t thread_{};
  bool started_ = false;
  bool joined_ = false;
  std::atomic<bool> running_{false};
  int result_ = 0;
};

}  // namespace threading
}  // namespace kavo
