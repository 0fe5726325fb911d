#include "serial/event_invoker.h"

namespace korvane {

void QueuedInvoker::RunOnOwnerThread(const std::function<void()>& call) {
  if (std::this_thread::get_id() == owner_) {
    call();
    return;
  }
  Job job{&call, false, nullptr};
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(&job);
  arrived_.notify_all();
  finished_.wait(lock, [&] { return job.done; });
  if (job.error) std::rethrow_exception(job.error);
}

void QueuedInvoker::PumpMessages() { RunPending(); }

bool QueuedInvoker::WaitAndPump(std::chrono::milliseconds timeout) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return !queue_.empty(); });
  }
  return RunPending() > 0;
}

bool QueuedInvoker::WaitForCall(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return !queue_.empty(); });
}

size_t QueuedInvoker::RunPending() {
  size_t ran = 0;
  for (;;) {
    Job* job;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) return ran;
      job = queue_.front();
      queue_.pop_front();
    }
    std::exception_ptr error;
    try {
      (*job->call)();
    } catch (...) {
      error = std::current_exception();
    }
    ++ran;
    std::lock_guard<std::mutex> lock(mutex_);
    job->error = error;
    job->done = true;
    finished_.notify_all();
  }
}

} // namespace korvane
