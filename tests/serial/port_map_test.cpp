// COM numbers to device paths: explicit entries, environment variables and
// the fixed scheme over a fake /sys/class/tty and /dev.
#include "serial/port_map.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace korvane;
namespace fs = std::filesystem;

namespace {

class PortMapTest : public ::testing::Test {
protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("korvane-portmap-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "sys");
    fs::create_directories(root / "dev");
    // A UART-backed ttyS0, a chipless ttyS1 (type 0), a USB adapter, an ACM
    // modem with a gap before it, and a console that belongs to no range.
    AddTty("ttyS0", "4");
    AddTty("ttyS1", "0");
    AddTty("ttyS31", "4");
    AddTty("ttyUSB0", nullptr);
    AddTty("ttyACM2", nullptr);
    AddTty("tty1", nullptr);
    AddTty("ttyS32", "4"); // beyond the 32 legacy ports: mapped to nothing
    ::unsetenv("KORVANE_COM40");
  }
  void TearDown() override {
    ::unsetenv("KORVANE_COM40");
    fs::remove_all(root);
  }

  void AddTty(const std::string& name, const char* type) {
    fs::create_directories(root / "sys" / name);
    if (type != nullptr) std::ofstream(root / "sys" / name / "type") << type << "\n";
    std::ofstream(root / "dev" / name).put('\0');
  }
  std::string Dev(const std::string& name) const { return (root / "dev" / name).string(); }

  fs::path root;
};

} // namespace

TEST_F(PortMapTest, FixedSchemeOverPresentDevices) {
  PortMap map((root / "sys").string(), (root / "dev").string());
  const std::pair<int, std::string> cases[] = {{1, Dev("ttyS0")},
                                               {2, ""},
                                               {3, ""},
                                               {32, Dev("ttyS31")},
                                               {33, Dev("ttyUSB0")},
                                               {34, ""},
                                               {65, ""},
                                               {67, Dev("ttyACM2")},
                                               {96, ""},
                                               {97, ""},
                                               {99, ""},
                                               {0, ""},
                                               {100, ""},
                                               {-1, ""}};
  for (const auto& [com, device] : cases) EXPECT_EQ(map.ResolvePort(com), device) << "COM" << com;

  TCommPortSet expected;
  expected.Include(spCOM1).Include(spCOM32).Include(spCOM33).Include(spCOM67);
  EXPECT_EQ(map.ExistingPorts(), expected);
}

TEST_F(PortMapTest, ExplicitEntriesWinOverEnvironmentOverScheme) {
  PortMap map((root / "sys").string(), (root / "dev").string());
  AddTty("ttyX", nullptr);
  ::setenv("KORVANE_COM40", Dev("ttyX").c_str(), 1);
  EXPECT_EQ(map.ResolvePort(40), Dev("ttyX"));

  EXPECT_TRUE(map.SetPortOverride(1, Dev("ttyUSB0")));  // over the scheme
  EXPECT_TRUE(map.SetPortOverride(40, Dev("tty1")));    // over the environment
  EXPECT_TRUE(map.SetPortOverride(98, "/nonexistent")); // mapped, but absent
  EXPECT_FALSE(map.SetPortOverride(100, Dev("tty1")));
  EXPECT_FALSE(map.SetPortOverride(0, Dev("tty1")));
  EXPECT_EQ(map.ResolvePort(1), Dev("ttyUSB0"));
  EXPECT_EQ(map.ResolvePort(40), Dev("tty1"));
  EXPECT_EQ(map.ResolvePort(98), "/nonexistent");

  TCommPortSet expected;
  expected.Include(spCOM1).Include(spCOM32).Include(spCOM33).Include(spCOM40).Include(spCOM67);
  EXPECT_EQ(map.ExistingPorts(), expected) << "an entry counts only while its device exists";
  // A network link has no path to look for: its entry is enough.
  EXPECT_TRUE(map.SetPortOverride(97, "tcp:10.0.0.7:4001"));
  EXPECT_EQ(map.ExistingPorts(), TCommPortSet(expected).Include(spCOM97));
  map.SetPortOverride(97, "");

  // Removing the entry falls back to the environment, then the scheme.
  map.SetPortOverride(40, "");
  EXPECT_EQ(map.ResolvePort(40), Dev("ttyX"));
  ::setenv("KORVANE_COM40", "", 1);
  EXPECT_EQ(map.ResolvePort(40), "");
}
