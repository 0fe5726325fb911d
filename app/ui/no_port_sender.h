#pragma once
#include "modbus/sender.h"

namespace korvane {

// The frame sender used while the program has no port control: frames are
// dropped (nothing is written, nothing is recorded). Port control replaces it.
class NoPortSender final : public FrameSender {
public:
  void SendCommStr(int /*port*/, const std::string& /*frame*/) override {}
};

} // namespace korvane
