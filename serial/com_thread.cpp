#include "serial/com_thread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>

namespace korvane {

namespace {

// The longest a reader waits before it looks at its stop flag again, so a
// long Delay never holds up Close or the component's destruction.
constexpr uint32_t kStopSliceMs = 50;
// A chunk larger than this is left for the next pass (a device never queues
// this much; it only bounds what a wrong count could make us allocate).
constexpr uint32_t kMaxChunk = 1u << 20;
// What one read of the draining at a hang-up takes at most.
constexpr uint32_t kDrainPiece = 4096;

// Why `device` could not be opened, in words a user can act on.
std::string OpenFailureReason(const std::string& device, int error) {
  switch (error) {
  case EACCES:
  case EPERM:
    return device + ": permission denied; add your user to the dialout group (then log in again)";
  case EBUSY:
    return device + ": in use by another program";
  case ENOENT:
  case ENODEV:
  case ENXIO:
    return device + ": no such device";
  default:
    return device + ": " + std::strerror(error);
  }
}

} // namespace

TComThread::TComThread(ComThreadOwner& owner) : owner_(owner), backend_(owner.ReaderBackend()) {
  generation_ = owner_.BeginOpen();
  const std::string name = owner_.PortNameToOpen();
  const TCommPort port = PortFromName(name);
  const std::string device = port == spNone ? std::string() : owner_.DeviceOf(port);
  if (device.empty()) {
    owner_.OpenFailed((name.empty() ? std::string("no port") : name) +
                      ": no such device (the port maps to no device)");
    ended_.store(true);
    return;
  }
  int error = 0;
  const CommHandle handle = backend_.Open(device, error);
  if (handle == kInvalidHandle) {
    owner_.OpenFailed(OpenFailureReason(device, error));
    ended_.store(true);
    return;
  }
  std::string reason;
  if (!owner_.ConfigureDevice(handle, reason)) {
    owner_.OpenFailed(device + ": " + reason);
    backend_.CloseHandle(handle);
    ended_.store(true);
    return;
  }
  handle_.store(handle);
  // The state at open is the owner's to show; the reader reports changes.
  backend_.GetLinkStatus(handle, link_);
  port_ = port;
  owner_.OpenSucceeded(port);
}

TComThread::~TComThread() {
  if (thread_.joinable()) thread_.join();
}

void TComThread::Start() {
  std::exception_ptr error;
  if (port_ != spNone) {
    try {
      owner_.RaiseConnect(port_);
    } catch (...) {
      error = std::current_exception();
    }
  }
  thread_ = std::thread(&TComThread::Execute, this);
  if (error) std::rethrow_exception(error);
}

void TComThread::Execute() {
  owner_.ReaderBegins();
  thread_id_.store(backend_.CurrentThreadId());
  // Normal priority is the process's own: only a deliberate choice is applied.
  if (owner_.ReaderPriority() != tpNormal)
    backend_.SetThreadPriority(thread_id_.load(), ThreadPriorityValue(owner_.ReaderPriority()));

  while (!stop_.load() && handle_.load() != kInvalidHandle) {
    try {
      LinkStep();
    } catch (...) {
    }
    try {
      LineStep();
    } catch (...) {
      // An error of the step or of its handler is dropped; the pass goes on.
    }
    if (stop_.load()) break;
    bool present = true;
    try {
      present = InputStep();
    } catch (...) {
    }
    if (!present) break;
  }
  Finish();
}

void TComThread::LinkStep() {
  LinkStatus link;
  if (!backend_.GetLinkStatus(handle_.load(), link)) return;
  if (link.Up == link_.Up && link.Text == link_.Text) return;
  link_ = link;
  owner_.RaiseLinkChange(link);
}

void TComThread::LineStep() { owner_.CheckLines(handle_.load()); }

bool TComThread::InputStep() {
  const CommHandle handle = handle_.load();
  // Delay 0 would poll without pause and burn a processor: 1 ms at least.
  const uint32_t delay = std::max<uint32_t>(owner_.ReaderDelay(), 1);

  WaitStatus wait = WaitStatus::Timeout;
  for (uint32_t left = delay; left > 0 && !stop_.load();) {
    const uint32_t slice = std::min(left, kStopSliceMs);
    wait = backend_.WaitInput(handle, slice);
    if (wait == WaitStatus::Ready || wait == WaitStatus::Gone) break;
    if (wait == WaitStatus::Failed) std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    left -= slice;
  }
  if (wait == WaitStatus::Gone) return DeliverRest(handle);
  if (wait != WaitStatus::Ready || stop_.load()) return true;

  // Poll said input waits: read it at once, without asking the count first
  // (one call fewer per chunk). A terminal may report input a moment before
  // a read can take it: wait a millisecond at a time rather than spin
  // through poll.
  uint32_t read = 0;
  uint64_t stamp = 0;
  for (uint32_t tries = 0;; ++tries) {
    const CommStatus status = backend_.Read(handle, piece_.data(), kReadPiece, read);
    // As close to the read as can be: the stamp tells when the bytes came.
    stamp = backend_.NowMicros();
    read = std::min(read, kReadPiece);
    if (status == CommStatus::Gone) return DeliverRest(handle, std::string(piece_.data(), read), stamp);
    if (status == CommStatus::Failed) return true;
    if (read > 0 || tries >= std::min(delay, kStopSliceMs) || stop_.load()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (read == 0 || stop_.load()) return true;
  std::string chunk(piece_.data(), read);
  // A full piece may not be all that waits: what the count adds belongs to
  // the same chunk.
  if (read == kReadPiece && !ReadRest(handle, chunk, stamp))
    return DeliverRest(handle, std::move(chunk), stamp);
  owner_.RaiseReceive(std::move(chunk), stamp);
  return true;
}

bool TComThread::ReadRest(CommHandle handle, std::string& chunk, uint64_t& stamp) {
  uint32_t count = 0;
  const CommStatus waiting = backend_.BytesWaiting(handle, count);
  if (waiting == CommStatus::Gone) return false;
  if (waiting != CommStatus::Ok || count == 0 || chunk.size() >= kMaxChunk) return true;
  const size_t held = chunk.size();
  const auto more = static_cast<uint32_t>(std::min<size_t>(count, kMaxChunk - held));
  chunk.resize(held + more);
  uint32_t got = 0;
  const CommStatus status = backend_.Read(handle, chunk.data() + held, more, got);
  if (got > 0) stamp = backend_.NowMicros();
  chunk.resize(held + std::min(got, more));
  return status != CommStatus::Gone;
}

bool TComThread::DeliverRest(CommHandle handle, std::string rest, uint64_t stamp) {
  // Data and a hang-up often come together (a far end that writes, then
  // closes): what the device received before it went may still wait. The
  // count of waiting bytes cannot be asked any more, so read until the
  // device gives nothing (no byte, or the hang-up itself), and deliver that
  // with `rest` (read already, at `stamp`) as the last chunk. After a stop
  // request nothing more is delivered.
  char piece[kDrainPiece];
  while (!stop_.load() && rest.size() < kMaxChunk) {
    uint32_t read = 0;
    const CommStatus status = backend_.Read(handle, piece, kDrainPiece, read);
    if (status != CommStatus::Ok || read == 0) break;
    stamp = backend_.NowMicros();
    rest.append(piece, std::min(read, kDrainPiece));
  }
  if (!rest.empty() && !stop_.load()) {
    try {
      owner_.RaiseReceive(std::move(rest), stamp);
    } catch (...) {
      // An error of the handler is dropped, as in any pass; the reader ends.
    }
  }
  return false;
}

void TComThread::Finish() {
  if (port_ != spNone) {
    try {
      owner_.RaiseDisconnect(port_);
    } catch (...) {
    }
  }
  {
    // Not while the owner writes or reprograms: the number must not be
    // reused under it.
    std::lock_guard<std::mutex> lock(owner_.HandleMutex());
    const CommHandle handle = handle_.exchange(kInvalidHandle);
    if (handle != kInvalidHandle) {
      backend_.PurgeComm(handle, kPurgeAll);
      backend_.CloseHandle(handle);
    }
  }
  owner_.ReaderEnded(generation_, ended_);
}

} // namespace korvane
