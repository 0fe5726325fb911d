#pragma once
// TComThread: the reader behind an open TSerialPort. Constructing it opens
// and configures the device; Start raises OnConnect and starts the loop; the
// loop ends when the stop flag is set or the device goes away, and its end
// raises OnDisconnect, purges and closes the device and resets the
// component's ConnectedPort. The component owns the object and joins it.
// The reader knows its component only through ComThreadOwner.
#include "serial/platform/comm_backend.h"
#include "serial/serial_types.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace korvane {

// What the reader thread needs of the component that owns it (TSerialPort
// implements it). The calls marked "owner thread" come from the reader's
// construction and Start; the rest come from the reader thread.
class ComThreadOwner {
public:
  virtual ~ComThreadOwner() = default;

  // The backend that opens and serves the device; it outlives the reader.
  virtual CommBackend& ReaderBackend() = 0;

  // Owner thread: a new open begins. ConnectedPort becomes spNone; returns
  // the number of this open (a reader that ends late compares it).
  virtual uint64_t BeginOpen() = 0;
  // Owner thread: the name of the port to open ("COM<n>", or what was set).
  virtual std::string PortNameToOpen() const = 0;
  // Owner thread: the device `port` maps to; empty when it maps to none.
  virtual std::string DeviceOf(TCommPort port) const = 0;
  // Owner thread: programs the opened device (device control, then
  // time-outs and buffer sizes, whose refusal is ignored). False when the
  // device refuses the line settings, with `reason` saying why.
  virtual bool ConfigureDevice(CommHandle handle, std::string& reason) = 0;
  // Owner thread: the open ended with `port` open (ConnectedPort, no open
  // error) or failed for `reason` (ConnectedPort stays spNone).
  virtual void OpenSucceeded(TCommPort port) = 0;
  virtual void OpenFailed(const std::string& reason) = 0;
  // Owner thread: raises OnConnect unless the component is being destroyed.
  // What the handler throws passes through.
  virtual void RaiseConnect(TCommPort port) = 0;

  // Reader thread: the loop begins (before anything else it does).
  virtual void ReaderBegins() {}
  // The reader's priority and its longest wait for input per pass.
  virtual TThreadPriority ReaderPriority() const = 0;
  virtual uint32_t ReaderDelay() const = 0;
  // Reads the modem lines of `handle` and keeps them as the component's
  // LineStatus; when they differ from the kept ones, raises
  // OnLineStatusChange.
  virtual void CheckLines(CommHandle handle) = 0;
  // The events the reader raises on the owner thread (through the invoker,
  // waiting for the handler; skipped once the component is being destroyed).
  // What a handler throws passes through. A chunk comes with `stamp_us`, the
  // backend's NowMicros right after the read that returned it.
  virtual void RaiseLinkChange(const LinkStatus& link) = 0;
  virtual void RaiseReceive(std::string chunk, uint64_t stamp_us) = 0;
  virtual void RaiseDisconnect(TCommPort port) = 0;
  // Held while the reader closes its handle: the owner holds it around each
  // use of the handle, so a handle is never closed (and its number reused)
  // under a write or a setter.
  virtual std::mutex& HandleMutex() = 0;
  // The reader has released its device. Under the component's end lock:
  // ConnectedPort is reset unless an open newer than `open` came meanwhile,
  // `ended` is set and whoever waits for a reader's end is woken.
  virtual void ReaderEnded(uint64_t open, std::atomic<bool>& ended) = 0;
};

class TComThread {
public:
  // On the owner thread: opens the device of the owner's port name and
  // applies device control, time-outs and buffer sizes. On failure the owner's
  // ConnectedPort stays spNone and the object is Ended at once.
  explicit TComThread(ComThreadOwner& owner);
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
  // After a first read that filled its piece: appends what the count says
  // still waits to `chunk` (`stamp` moves to that read); false when the
  // device has gone meanwhile (`chunk` then holds what was read).
  bool ReadRest(CommHandle handle, std::string& chunk, uint64_t& stamp);
  // At a hang-up: reads what the device still gives and delivers it after
  // `rest` (bytes read before, the last of them at `stamp`); false.
  bool DeliverRest(CommHandle handle, std::string rest = {}, uint64_t stamp = 0);
  void Finish();

  ComThreadOwner& owner_;
  CommBackend& backend_;
  std::atomic<CommHandle> handle_{kInvalidHandle};
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> thread_id_{0};
  TCommPort port_ = spNone;
  LinkStatus link_; // the link state last reported (reader thread only)
  uint64_t generation_ = 0;
  std::thread thread_;
  // What the first read of a chunk takes at most: a terminal's whole input
  // queue (more is asked for by count).
  static constexpr uint32_t kReadPiece = 4096;
  std::array<char, kReadPiece> piece_{}; // reader thread only
};

} // namespace korvane
