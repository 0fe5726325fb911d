#pragma once
// Frames leave the Modbus engine through this interface; port control
// implements it (write the whole frame in one piece and record it for the
// traffic monitors). A frame is a byte string: NUL bytes included.
#include <string>

namespace korvane {

class FrameSender {
public:
  virtual ~FrameSender() = default;
  // `port` is the COM number the caller passes (CommPort); the sender may ignore it.
  virtual void SendCommStr(int port, const std::string& frame) = 0;
};

} // namespace korvane
