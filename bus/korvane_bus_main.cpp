// korvane-bus: N pseudo-terminals joined as one multi-drop line, for tests and for trying
// Korvane without hardware. Prints each node's device and "ready"; SIGTERM or SIGINT ends it
// with the byte counts of every node.
#include "bus/bus_core.h"
#include "bus/pty_bus.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void RequestStop(int /*signal*/) { stopRequested = 1; }

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

} // namespace

int main(int argc, char** argv) {
  using namespace korvane::bus;
  const ParsedOptions parsed = ParseBusOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.Options) {
    std::fprintf(stderr, "korvane-bus: %s\n%s", parsed.Error.c_str(), UsageText().c_str());
    return 2;
  }
  if (parsed.Options->Help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }

  // The stop signals are blocked except while the bus waits, so one that arrives while bytes
  // are carried ends the next wait at once.
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t blocked;
  sigset_t waiting;
  sigemptyset(&blocked);
  for (int s : kStopSignals) sigaddset(&blocked, s);
  sigprocmask(SIG_BLOCK, &blocked, &waiting);
  for (int s : kStopSignals) sigdelset(&waiting, s);
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  for (int s : kStopSignals) sigaction(s, &action, nullptr);

  PtyBus bus(*parsed.Options);
  if (!bus.Open()) {
    std::fprintf(stderr, "korvane-bus: %s\n", bus.Error().c_str());
    return 1;
  }
  for (size_t i = 0; i < bus.Nodes().size(); ++i) {
    const BusNode& n = bus.Nodes()[i];
    std::printf("node %zu: %s", i + 1, n.Device.c_str());
    if (!n.Link.empty()) std::printf(" link %s", n.Link.c_str());
    std::printf("\n");
  }
  std::printf("ready\n");
  std::fflush(stdout);

  const bool ran = bus.Run(stopRequested, &waiting);
  bus.RemoveLinks();
  if (!ran) std::fprintf(stderr, "korvane-bus: %s\n", bus.Error().c_str());
  for (size_t i = 0; i < bus.Counts().size(); ++i)
    std::printf("%s\n", CountsLine(i, bus.Counts()[i]).c_str());
  std::fflush(stdout);
  return ran ? 0 : 1;
}
