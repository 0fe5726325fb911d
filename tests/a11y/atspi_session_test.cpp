// Korvane on the desktop accessibility bus: tests/a11y/atspi_probe.py, run in a
// private session bus, starts an X server, the accessibility bus and Korvane,
// finds the controls of the main window and the configuration dialog by their
// accessible names, and enters a value through the grid. Where the bus cannot
// be brought up here the test is skipped with the reason.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>

#include "install/child_process.h"

namespace korvane {
namespace {

using korvane::testing::RunProgram;
using namespace std::chrono_literals;

constexpr int kSkipStatus = 77;

TEST(AtspiSession, ControlsAreFoundByNameAndValueEntryReadsBack) {
  struct Tool {
    const char* path;
    const char* package;
  };
  for (const Tool& t :
       {Tool{"/usr/bin/python3", "python3"}, Tool{"/usr/bin/dbus-run-session", "dbus"},
        Tool{"/usr/bin/Xvfb", "xvfb"}, Tool{"/usr/libexec/at-spi-bus-launcher", "at-spi2-core"}})
    if (access(t.path, X_OK) != 0)
      GTEST_SKIP() << t.path << " is missing (Debian package " << t.package << ")";

  char dir[] = "/tmp/korvane_atspi_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string err = std::string(dir) + "/probe.err";
  // The probe bounds each of its waits; this bound only catches a probe that hangs.
  const auto r = RunProgram({"/usr/bin/dbus-run-session", "--", "/usr/bin/python3",
                             KORVANE_SOURCE_DIR "/tests/a11y/atspi_probe.py", KORVANE_BINARY_DIR "/korvane"},
                            err, 150s, {"QT_QPA_PLATFORM="});
  unlink(err.c_str());
  rmdir(dir);
  if (r.ExitCode == kSkipStatus) GTEST_SKIP() << r.Out;
  EXPECT_EQ(r.ExitCode, 0) << r.Out << "\n" << r.Err;
  EXPECT_NE(r.Out.find("all checks passed"), std::string::npos) << r.Out;
}

} // namespace
} // namespace korvane
