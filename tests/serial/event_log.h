#pragma once
// Records the events of a serial component, in order, from whatever thread
// raises them, and waits (bounded) for what a test expects.
#include "serial/event_invoker.h"
#include "serial/serial_port.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvane::test {

// The message of the SerialError that f throws, or "(no error)".
inline std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const SerialError& e) {
    return e.what();
  }
  return "(no error)";
}

class EventLog {
public:
  void Attach(TSerialPort& port) {
    port.OnConnect = [this](TSerialPort&, TCommPort p) { Add("connect " + PortName(p)); };
    port.OnDisconnect = [this](TSerialPort& s, TCommPort p) {
      Add("disconnect " + PortName(p) + (s.ConnectedPort() == p ? "" : " (port already reset)"));
    };
    port.OnReceive = [this](TSerialPort&, const std::string& chunk) {
      std::lock_guard<std::mutex> lock(mutex_);
      chunks_.push_back(chunk);
      received_ += chunk;
      Push("receive");
    };
    port.OnLineStatusChange = [this](TSerialPort&, TLineStatusSet lines) {
      Add("lines " + std::to_string(lines.Bits));
    };
  }

  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    Push(entry);
  }

  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  std::vector<std::string> Chunks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_;
  }
  std::string Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  size_t Count(const std::string& entry) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& e : entries_) n += e == entry;
    return n;
  }
  // Threads the handlers ran on.
  std::vector<std::thread::id> Threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

  // Waits at most about five seconds for `done`; with `pump` the calling
  // thread is the owner thread and runs the handlers meanwhile.
  bool WaitUntil(const std::function<bool()>& done, QueuedInvoker* pump = nullptr) {
    for (int i = 0; i < 500; ++i) {
      if (pump != nullptr) {
        if (done()) return true;
        pump->WaitAndPump(std::chrono::milliseconds(10));
      } else {
        std::unique_lock<std::mutex> lock(mutex_);
        if (changed_.wait_for(lock, std::chrono::milliseconds(10), [&] {
              lock.unlock();
              const bool d = done();
              lock.lock();
              return d;
            }))
          return true;
      }
    }
    return done();
  }
  bool WaitForBytes(size_t n, QueuedInvoker* pump = nullptr) {
    return WaitUntil([&] { return Received().size() >= n; }, pump);
  }
  bool WaitForEntry(const std::string& entry, QueuedInvoker* pump = nullptr) {
    return WaitUntil([&] { return Count(entry) > 0; }, pump);
  }

private:
  void Push(const std::string& entry) {
    entries_.push_back(entry);
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> entries_;
  std::vector<std::thread::id> threads_;
  std::vector<std::string> chunks_;
  std::string received_;
};

} // namespace korvane::test
