#include "app/ui/qt_invoker.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <climits>
#include <linux/futex.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace korvane {

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the futex word must be a plain 32-bit word");

uint32_t* Word(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

// Sleeps while `word` still holds `seen` (returns at once when it does not).
void FutexWait(std::atomic<uint32_t>& word, uint32_t seen) {
  ::syscall(SYS_futex, Word(word), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t>& word) {
  ::syscall(SYS_futex, Word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace

QtEventInvoker::QtEventInvoker() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() != app->thread())
    throw std::logic_error("the event invoker is made on the thread of the application object");
  owner_tid_ = static_cast<int>(::gettid());
  CPU_ZERO(&owner_set_);
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  notifier_ = std::make_unique<QSocketNotifier>(wake_fd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { Woken(); });
}

QtEventInvoker::~QtEventInvoker() {
  notifier_.reset();
  ::close(wake_fd_);
}

bool QtEventInvoker::OnOwnerThread() const { return QThread::currentThread() == notifier_->thread(); }

void QtEventInvoker::RunOnOwnerThread(const std::function<void()>& call) {
  if (OnOwnerThread()) {
    call();
    return;
  }
  Job job;
  job.call = &call;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(&job);
  }
  const uint64_t one = 1;
  // A full counter (it never is: each wake-up is counted off) would still
  // leave the descriptor readable.
  while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  for (;;) {
    // The count first: a call that finishes after this look changes it, and
    // the wait then returns at once.
    const uint32_t seen = finished_.load(std::memory_order_acquire);
    if (job.done.load(std::memory_order_acquire)) break;
    FutexWait(finished_, seen);
  }
  if (job.error) std::rethrow_exception(job.error);
}

size_t QtEventInvoker::RunWaiting() {
  size_t ran = 0;
  for (;;) {
    Job* job;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) return ran;
      job = queue_.front();
      queue_.pop_front();
    }
    try {
      (*job->call)();
    } catch (...) {
      job->error = std::current_exception();
    }
    ++ran;
    // The caller may return and drop the job as soon as it sees it done:
    // nothing of the job is touched after this.
    job->done.store(true, std::memory_order_release);
    finished_.fetch_add(1, std::memory_order_release);
    FutexWakeAll(finished_);
  }
}

void QtEventInvoker::Woken() {
  // The calls first (a slave's reply is written from inside one), then the
  // wake-up is counted off, then what came in between runs too: a call queued
  // after the count was read wrote the count again, so the descriptor stays
  // readable for it.
  RunWaiting();
  uint64_t count = 0;
  while (::read(wake_fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
  RunWaiting();
}

void QtEventInvoker::ReaderBegins() {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  if (readers_++ == 0) {
    processor_ = -1;
    const int cpu = ::sched_getcpu();
    cpu_set_t one;
    CPU_ZERO(&one);
    if (cpu >= 0 && cpu < CPU_SETSIZE) CPU_SET(cpu, &one);
    if (cpu >= 0 && cpu < CPU_SETSIZE &&
        ::sched_getaffinity(owner_tid_, sizeof owner_set_, &owner_set_) == 0 && CPU_ISSET(cpu, &owner_set_) &&
        ::sched_setaffinity(owner_tid_, sizeof one, &one) == 0)
      processor_ = cpu;
  }
  if (processor_ < 0) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(processor_, &one);
  ::sched_setaffinity(0, sizeof one, &one); // this reader; a refusal leaves it free
}

void QtEventInvoker::ReaderEnds() {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  if (readers_ > 0 && --readers_ == 0 && processor_ >= 0) {
    ::sched_setaffinity(owner_tid_, sizeof owner_set_, &owner_set_);
    processor_ = -1;
  }
}

void QtEventInvoker::PumpMessages() {
  RunWaiting();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

} // namespace korvane
