#pragma once
// TComThread: the reader behind an open TSerialPort. Constructing it opens
// and configures the device; Start raises OnConnect and starts the loop; the
// loop ends when the stop flag is set or the device goes away, and its end
// raises OnDisconnect, purges and closes the device and resets the
// component's ConnectedPort. The component owns the object and joins it.
#include "serial/platform/comm_backend.h"
#include "serial/serial_types.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace korvane {

class TSerialPort;

class TComThread {
public:
  // On the owner thread: opens the device of the owner's port name and
  // applies device control, time-outs and buffer sizes. On failure the owner's
  // ConnectedPort stays spNone and the object is Ended at once.
  explicit TComThread(TSerialPort& owner);
  ~TComThread(); // joins the loop
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  // On the owner thread, after a successful construction: raises OnConnect
  // and starts the loop (also when OnConnect throws; the error is rethrown).
  void Start();
  // Sets the stop flag; does not wait.
  void Terminate() { stop_.store(true); }
  // True once the device is released and ConnectedPort reset (or the device
  // was never opened). Nothing of the owner is touched after that.
  bool Ended() const { return ended_.load(); }
  CommHandle Handle() const { return handle_.load(); }
  // The reader's system thread id, 0 before it runs.
  int ThreadId() const { return thread_id_.load(); }

private:
  void Execute();
  // A network link's state: OnLinkChange when it differs from the last seen.
  void LinkStep();
  void LineStep();
  // Waits for input at most Delay ms and delivers what waits as one chunk.
  // Returns false when the device has gone (after delivering what it still
  // gave, DeliverRest).
  bool InputStep();
  void Deliver(std::string chunk);
  // At a hang-up: reads what the device still gives and delivers it; false.
  bool DeliverRest(CommHandle handle);
  void Finish();
  // Runs `call` on the owner thread unless the owner is being destroyed.
  void Raise(const std::function<void()>& call);

  TSerialPort& owner_;
  CommBackend& backend_;
  std::atomic<CommHandle> handle_{kInvalidHandle};
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> thread_id_{0};
  TCommPort port_ = spNone;
  LinkStatus link_; // the link state last reported (reader thread only)
  uint64_t generation_ = 0;
  std::thread thread_;
};

} // namespace korvane
