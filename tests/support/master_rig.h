#pragma once
// A workspace with the real master engine behind the request builder, a
// recording sender and a fake clock: what reaches the line is checked byte
// for byte. Header-only: the test program links the application core.
#include <cstdint>
#include <memory>

#include "app/core/request_builder.h"
#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "modbus/master.h"
#include "support/recording_sender.h"

namespace korvane::test {

struct MasterRig {
  explicit MasterRig(uint32_t start) : ticks(start) {}

  std::unique_ptr<Workspace> ws = MakeWorkspace();
  RecordingSender sender;
  FakeTickSource ticks;
  TMaster engine{*ws, sender, ticks};
  RequestBuilderFor<TMaster> master{engine};
};

} // namespace korvane::test
