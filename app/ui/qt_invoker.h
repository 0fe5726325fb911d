#pragma once
// The serial component's way onto the user-interface thread, over Qt's event
// loop: a call from the reader thread is queued to the application object and
// the reader waits until it has run (so handlers never run beside the
// window's own code); pumping is Qt's event processing.
#include "serial/event_invoker.h"

namespace korvane {

class QtEventInvoker final : public EventInvoker {
public:
  // Needs the application object; it must outlive every component using this.
  QtEventInvoker() = default;
  // On the user-interface thread the call runs at once. An exception thrown by
  // the call is thrown again on the calling thread, never inside Qt's dispatch.
  void RunOnOwnerThread(const std::function<void()>& call) override;
  // Processes pending events except user input, so a reader waiting in
  // RunOnOwnerThread can finish while Close waits for it, but no button or key
  // runs inside Close.
  void PumpMessages() override;
};

} // namespace korvane
