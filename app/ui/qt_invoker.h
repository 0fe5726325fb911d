#pragma once
// The serial component's way onto the user-interface thread, over Qt's event
// loop: a call from the reader thread waits in the invoker's queue, an eventfd
// that the event loop watches wakes the user-interface thread, which runs the
// call, and the reader waits until it has run (so handlers never run beside
// the window's own code). No event object is made per call, and the wake-up
// is counted off only after the calls have run, so a slave's reply goes out
// one system call sooner. Pumping runs the waiting calls, then Qt's event
// processing. While a reader runs, it and the user-interface thread are kept
// on one processor (the one the first reader began on): they take turns, and
// a hand-over then never waits for another processor to wake up.
#include "serial/event_invoker.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <sched.h>

class QSocketNotifier;

namespace korvane {

class QtEventInvoker final : public EventInvoker {
public:
  // Made on the thread of the application object, which must exist and
  // outlive this; this must outlive every component using it. Throws
  // std::system_error when no eventfd can be made.
  QtEventInvoker();
  ~QtEventInvoker() override;
  QtEventInvoker(const QtEventInvoker&) = delete;
  QtEventInvoker& operator=(const QtEventInvoker&) = delete;

  // On the user-interface thread the call runs at once. An exception thrown by
  // the call is thrown again on the calling thread, never inside Qt's dispatch.
  void RunOnOwnerThread(const std::function<void()>& call) override;
  // Runs the waiting calls, then processes pending events except user input,
  // so a reader waiting in RunOnOwnerThread can finish while Close waits for
  // it, but no button or key runs inside Close.
  void PumpMessages() override;
  // The first reader to begin puts the user-interface thread on its own
  // processor and stays there; the last to end gives the user-interface
  // thread back the processors it had. A system that refuses leaves both
  // where the scheduler puts them.
  void ReaderBegins() override;
  void ReaderEnds() override;

private:
  struct Job {
    const std::function<void()>* call;
    std::exception_ptr error;
    std::atomic<bool> done{false};
  };
  bool OnOwnerThread() const;
  // On the owner thread: runs the queued calls in their order; returns how many.
  size_t RunWaiting();
  // On the owner thread: the eventfd became readable.
  void Woken();

  std::mutex mutex_;
  std::deque<Job*> queue_;
  // Counts finished calls; the waiting callers sleep on it (a futex word, so
  // it must stay a plain 32-bit atomic).
  std::atomic<uint32_t> finished_{0};
  int wake_fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;

  std::mutex placement_mutex_;
  int owner_tid_ = 0;
  int readers_ = 0;     // readers between ReaderBegins and ReaderEnds
  int processor_ = -1;  // where the owner and the readers run; -1: not placed
  cpu_set_t owner_set_; // the owner's processors before
};

} // namespace korvane
