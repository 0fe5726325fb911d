#pragma once
// A frame sender that keeps every frame the engine sends, and RTU frames for
// tests. Header-only: the test program links the Modbus engine itself.
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "modbus/frame_rules.h"
#include "modbus/sender.h"

namespace korvane::test {

class RecordingSender final : public FrameSender {
public:
  void SendCommStr(int port, const std::string& frame) override {
    ports.push_back(port);
    frames.push_back(frame);
  }
  std::vector<int> ports;
  std::vector<std::string> frames;
};

// A sender whose every send fails, as port control's does when the device is
// gone or a write stops short.
class FailingSender final : public FrameSender {
public:
  void SendCommStr(int /*port*/, const std::string& /*frame*/) override {
    ++calls;
    throw std::runtime_error("COM7 is not open.");
  }
  int calls = 0;
};

// `body` with its CRC appended.
inline std::string WithCrc(std::string body) {
  frame::AppendCrc(body);
  return body;
}

// An RTU frame of the given bytes and their CRC.
inline std::string Rtu(std::initializer_list<int> body) { return WithCrc(frame::Bytes(body)); }

} // namespace korvane::test
