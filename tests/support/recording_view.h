#pragma once
// A port view that records what port control shows, with the status texts the
// window would show. Header-only: the test program links port control itself.
#include <cstdint>
#include <string>
#include <vector>

#include "app/core/status.h"
#include "app/core/workspace.h"
#include "serial/control/port_control.h"

namespace korvane::test {

class RecordingView final : public PortView {
public:
  explicit RecordingView(const Workspace& ws) : ws_(ws) {}
  void ShowPortState(bool active) override { calls.push_back(active ? "port Active" : "port InActive"); }
  void StatusDisplay(int32_t code, const std::string& prefix) override {
    const StatusUpdate u = korvane::StatusDisplay(ws_, code, prefix);
    statuses.push_back(u.Text.value_or("(unchanged)"));
    calls.push_back("status");
  }
  void DisplayRegs() override { calls.push_back("redraw"); }
  void ModeDisplay() override { calls.push_back("mode"); }
  void FillAddressSelector() override { calls.push_back("addresses"); }
  void SetPollInterval(int32_t ms) override { calls.push_back("interval " + std::to_string(ms)); }
  void ShowPortDetail(const std::string& detail) override { details.push_back(detail); }
  void ShowLinkStatus(const std::string& text) override {
    links.push_back(text);
    calls.push_back("link");
  }

  void ShowSeen(const std::string& text) override {
    seen.push_back(text);
    calls.push_back("seen");
  }

  std::vector<std::string> calls;
  std::vector<std::string> seen;
  std::vector<std::string> details;
  std::vector<std::string> statuses;
  std::vector<std::string> links;

private:
  const Workspace& ws_;
};

} // namespace korvane::test
