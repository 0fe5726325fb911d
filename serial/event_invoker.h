#pragma once
// How the serial component reaches its owner's thread. The reader thread
// raises OnReceive, OnLineStatusChange and OnDisconnect through
// RunOnOwnerThread and waits until the handler has returned; Close and the
// component's destructor call PumpMessages while they wait for the reader, so
// a reader blocked in RunOnOwnerThread can finish. The program supplies an
// invoker over its event loop; the invoker must outlive every component that
// uses it.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace korvane {

class EventInvoker {
public:
  virtual ~EventInvoker() = default;
  // Runs `call` on the owner thread and returns once it has returned. An
  // exception thrown by `call` is thrown again here, on the calling thread.
  virtual void RunOnOwnerThread(const std::function<void()>& call) = 0;
  // On the owner thread: runs the calls that wait for it.
  virtual void PumpMessages() = 0;
  // On a reader thread, as it begins and as it ends (after its last call).
  // The reader and the owner take turns: an invoker may place both threads
  // so that handing a call over never has to wake another processor.
  virtual void ReaderBegins() {}
  virtual void ReaderEnds() {}
};

// Runs every call at once on the calling thread: events then run on the
// reader thread, so handlers must be safe to run there, and must not call
// Close or destroy the component (that would wait for the calling thread).
class DirectInvoker final : public EventInvoker {
public:
  void RunOnOwnerThread(const std::function<void()>& call) override { call(); }
  void PumpMessages() override {}
};

// Calls from other threads wait in a queue until the owner thread (the one
// that constructed the invoker) pumps; a call made on the owner thread itself
// runs at once.
class QueuedInvoker final : public EventInvoker {
public:
  QueuedInvoker() : owner_(std::this_thread::get_id()) {}
  void RunOnOwnerThread(const std::function<void()>& call) override;
  void PumpMessages() override;
  // Waits at most `timeout` for a call to arrive, then runs what waits.
  // Returns whether any call ran.
  bool WaitAndPump(std::chrono::milliseconds timeout);
  // Waits at most `timeout` for a call to arrive without running it.
  // Returns whether one waits.
  bool WaitForCall(std::chrono::milliseconds timeout);

private:
  struct Job {
    const std::function<void()>* call;
    bool done = false;
    std::exception_ptr error;
  };
  size_t RunPending();

  std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable finished_;
  std::deque<Job*> queue_;
};

} // namespace korvane
