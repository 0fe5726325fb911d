// The serial component's invoker over Qt's event loop: calls from other
// threads run on the application's thread one at a time, in each caller's
// order, and return only after they ran; an exception comes back to its
// caller; pumping runs a waiting call without the event loop; readers and the
// application's thread share one processor while readers run.
#include "app/ui/qt_invoker.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/qt_test_support.h"

using namespace korvane;

namespace {

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    test::AddQtEnvironment<QCoreApplication>("qt_invoker_ui_test");

// Runs the event loop until `done` holds, at most five seconds; whether it held.
bool RunLoopUntil(const std::function<bool()>& done) {
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done()) QCoreApplication::quit();
  });
  poll.start(5);
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::quit(); });
  deadline.start(5000);
  if (!done()) QCoreApplication::exec();
  return done();
}

bool OnAppThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

cpu_set_t AffinityOf(pid_t tid) {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(::sched_getaffinity(tid, sizeof set, &set), 0);
  return set;
}

} // namespace

TEST(QtInvoker, CallsFromOtherThreadsRunOnTheAppThreadOneAtATimeAndInTheirOrder) {
  QtEventInvoker invoker;
  constexpr int kThreads = 3, kCalls = 300;
  std::vector<std::vector<int>> ran(kThreads); // touched on the app thread only
  std::atomic<int> inside{0}, overlaps{0}, offThread{0}, earlyReturns{0}, finished{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t)
    callers.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        bool done = false;
        invoker.RunOnOwnerThread([&] {
          if (inside.fetch_add(1) != 0) ++overlaps;
          if (!OnAppThread()) ++offThread;
          ran[static_cast<size_t>(t)].push_back(i);
          done = true;
          inside.fetch_sub(1);
        });
        if (!done) ++earlyReturns;
      }
      ++finished;
    });
  const bool all = RunLoopUntil([&] { return finished.load() == kThreads; });
  for (std::thread& c : callers) {
    // A caller still waiting after a failed deadline is released by pumping.
    while (!all && finished.load() < kThreads) invoker.PumpMessages();
    c.join();
  }
  ASSERT_TRUE(all) << "the event loop did not run every call within five seconds";
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(offThread.load(), 0);
  EXPECT_EQ(earlyReturns.load(), 0) << "a caller went on before its call had run";
  std::vector<int> inOrder(kCalls);
  for (int i = 0; i < kCalls; ++i) inOrder[static_cast<size_t>(i)] = i;
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ran[static_cast<size_t>(t)], inOrder) << "caller " << t;
}

TEST(QtInvoker, AnExceptionOfTheCallIsThrownAgainAtItsCaller) {
  QtEventInvoker invoker;
  std::string caught;
  std::atomic<bool> finished{false};
  bool afterwards = false;
  std::thread caller([&] {
    try {
      invoker.RunOnOwnerThread([] { throw std::runtime_error("refused on the app thread"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    // The loop goes on serving calls.
    invoker.RunOnOwnerThread([&] { afterwards = OnAppThread(); });
    finished = true;
  });
  const bool done = RunLoopUntil([&] { return finished.load(); });
  while (!finished.load()) invoker.PumpMessages();
  caller.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(caught, "refused on the app thread");
  EXPECT_TRUE(afterwards);
}

TEST(QtInvoker, OnTheAppThreadACallRunsAtOnceAndPumpingRunsAWaitingOne) {
  QtEventInvoker invoker;
  bool atOnce = false;
  invoker.RunOnOwnerThread([&] { atOnce = true; });
  EXPECT_TRUE(atOnce);

  // The app thread does not return to its event loop (as Close waits for a
  // reader): the waiting call runs when it pumps.
  std::atomic<bool> started{false}, finished{false};
  bool ranHere = false;
  std::thread caller([&] {
    started = true;
    invoker.RunOnOwnerThread([&] { ranHere = OnAppThread(); });
    finished = true;
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!finished.load() && std::chrono::steady_clock::now() < end) invoker.PumpMessages();
  const bool inTime = finished.load();
  while (!finished.load()) invoker.PumpMessages();
  caller.join();
  EXPECT_TRUE(inTime) << "pumping did not run the waiting call within five seconds";
  EXPECT_TRUE(ranHere);
}

TEST(QtInvoker, ReadersShareTheAppThreadsProcessorWhileTheyRun) {
  QtEventInvoker invoker;
  const pid_t app = ::gettid();
  const cpu_set_t before = AffinityOf(app);
  // Two readers, the second beginning while the first runs: both and the app
  // thread are on one processor until the last has ended; then the app thread
  // has its processors back.
  std::atomic<int> step{0};
  cpu_set_t first{}, second{}, appWhileBoth{}, appAfterFirst{};
  auto waitStep = [&](int s) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (step.load() < s && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    return step.load() >= s;
  };
  std::thread r1([&] {
    invoker.ReaderBegins();
    first = AffinityOf(0);
    step = 1;
    if (!waitStep(3)) return;
    invoker.ReaderEnds();
    step = 4;
  });
  std::thread r2([&] {
    if (!waitStep(1)) return;
    invoker.ReaderBegins();
    second = AffinityOf(0);
    step = 2;
    if (!waitStep(5)) return;
    invoker.ReaderEnds();
    step = 6;
  });
  ASSERT_TRUE(waitStep(2));
  appWhileBoth = AffinityOf(app);
  step = 3;
  ASSERT_TRUE(waitStep(4));
  appAfterFirst = AffinityOf(app);
  step = 5;
  ASSERT_TRUE(waitStep(6));
  r1.join();
  r2.join();
  const cpu_set_t after = AffinityOf(app);

  EXPECT_EQ(CPU_COUNT(&first), 1);
  EXPECT_TRUE(CPU_EQUAL(&first, &second)) << "the second reader joins the first one's processor";
  EXPECT_TRUE(CPU_EQUAL(&first, &appWhileBoth)) << "the app thread is on the readers' processor";
  EXPECT_TRUE(CPU_EQUAL(&first, &appAfterFirst)) << "one reader still runs";
  EXPECT_TRUE(CPU_EQUAL(&before, &after)) << "the last reader's end gives the app thread its processors back";
}
