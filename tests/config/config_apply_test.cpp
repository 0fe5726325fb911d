// "Exit" of the configuration dialog without its window: ranges, lists, the
// stop at a box that is not a number, and the port calls.
#include "config/core/config_apply.h"

#include "app/core/int_conv.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane {
namespace {

class RecordingPort final : public ConfigPort {
public:
  void CloseComm(int32_t port) override { calls.push_back("CloseComm " + IntToStr(port)); }
  void OpenComm(int32_t port, int32_t in, int32_t out, int32_t baud, int32_t data, int32_t parity,
                int32_t stop) override {
    calls.push_back("OpenComm " + IntToStr(port) + " " + IntToStr(in) + " " + IntToStr(out) + " " +
                    IntToStr(baud) + " " + IntToStr(data) + " " + IntToStr(parity) + " " + IntToStr(stop));
  }
  void PortActivate() override {
    calls.push_back("PortActivate");
    if (refuse) throw std::runtime_error("Cannot connect to COM9.");
  }
  std::vector<std::string> calls;
  bool refuse = false;
};

class ConfigApplyTest : public ::testing::Test {
protected:
  void SetUp() override {
    ws = MakeWorkspace();
    ws->Settings.CommPort = 2;
    ws->Settings.ResponseTime = 1000;
    ws->Devices.SlotAddress = {0, 11, 12, 13, 14, 15};
    ws->Devices.ActiveSlot = 2;
    ws->Devices.DeviceAddress = 12;
  }
  // The controls as activation would show them: "Exit" with them changes nothing.
  ConfigControls Shown() const { return ControlsFromWorkspace(*ws); }
  void Apply(const ConfigControls& c) { ApplyConfigControls(*ws, c, port); }

  std::unique_ptr<Workspace> ws;
  RecordingPort port;
};

TEST_F(ConfigApplyTest, RangesAndListsIgnoreWhatLiesOutside) {
  struct Case {
    const char* what;
    std::function<void(ConfigControls&)> type;
    std::function<int64_t(const Workspace&)> read;
    int64_t expected;
  };
  auto poll = [](const char* t) { return [t](ConfigControls& c) { c.TxtPollTime = t; }; };
  auto response = [](const char* t) { return [t](ConfigControls& c) { c.TxtResponseTime = t; }; };
  auto data = [](const char* t) { return [t](ConfigControls& c) { c.ComboData = t; }; };
  auto stop = [](const char* t) { return [t](ConfigControls& c) { c.ComboStop = t; }; };
  auto pollTime = [](const Workspace& w) -> int64_t { return w.Settings.PollTime; };
  auto responseTime = [](const Workspace& w) -> int64_t { return w.Settings.ResponseTime; };
  auto dataBits = [](const Workspace& w) -> int64_t { return w.Settings.DataBits; };
  auto stopBits = [](const Workspace& w) -> int64_t { return w.Settings.StopBits; };
  const std::vector<Case> cases = {
      {"poll 0", poll("0"), pollTime, 5},
      {"poll 31", poll("31"), pollTime, 5},
      {"poll 30", poll("30"), pollTime, 30},
      {"poll 1", poll("1"), pollTime, 1},
      {"poll -1", poll("-1"), pollTime, 5},
      {"response 399", response("399"), responseTime, 1000},
      {"response 2001", response("2001"), responseTime, 1000},
      {"response 400", response("400"), responseTime, 400},
      {"response 2000", response("2000"), responseTime, 2000},
      {"data 9", data("9"), dataBits, 8},
      {"data 7", data("7"), dataBits, 7},
      {"data ' 7'", data(" 7"), dataBits, 8},
      {"stop 3", stop("3"), stopBits, 3},
      {"stop -2", stop("-2"), stopBits, -2},
  };
  for (const Case& c : cases) {
    SetUp();
    ConfigControls controls = Shown();
    c.type(controls);
    Apply(controls);
    EXPECT_EQ(c.read(*ws), c.expected) << c.what;
  }
}

TEST_F(ConfigApplyTest, ParityTakesOnlyTheThreeLetters) {
  for (const auto& [typed, stored] : std::vector<std::pair<std::string, std::string>>{
           {"M", "N"}, {"e", "N"}, {"E ", "N"}, {"", "N"}, {"E", "E"}, {"O", "O"}}) {
    SetUp();
    ConfigControls c = Shown();
    c.ComboParity = typed;
    Apply(c);
    EXPECT_EQ(ws->Settings.Parity, stored) << "typed '" << typed << "'";
  }
}

TEST_F(ConfigApplyTest, EachSlotAddressIsJudgedOnItsOwn) {
  ConfigControls c = Shown();
  c.TxtAddr = {"", "0", "248", "1", "247", "100"};
  Apply(c);
  EXPECT_EQ(ws->Devices.SlotAddress, (std::array<int32_t, 6>{0, 11, 12, 1, 247, 100}));
}

TEST_F(ConfigApplyTest, ChosenAddressButtonMakesTheActiveSlot) {
  ConfigControls c = Shown();
  c.OptAddr = 3;
  c.TxtAddr[3] = "30";
  Apply(c);
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
  EXPECT_EQ(ws->Devices.DeviceAddress, 30);

  // No button chosen: the slot stays, its address is taken again.
  c = Shown();
  c.OptAddr = 0;
  c.TxtAddr[3] = "31";
  Apply(c);
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
  EXPECT_EQ(ws->Devices.DeviceAddress, 31);
}

TEST_F(ConfigApplyTest, PortIsClosedFirstConfiguredThenOpenedOnlyWhenAsked) {
  struct Case {
    std::string parity;
    std::string stop;
    bool portActive;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"N", "1", true, {"CloseComm 2", "OpenComm 7 1024 1024 19200 7 0 1", "PortActivate"}},
      {"E", "2", true, {"CloseComm 2", "OpenComm 7 1024 1024 19200 7 1 2", "PortActivate"}},
      {"O", "3", false, {"CloseComm 2", "OpenComm 7 1024 1024 19200 7 2 0"}},
      {"M", "0", false, {"CloseComm 2", "OpenComm 7 1024 1024 19200 7 0 0"}},
  };
  for (const Case& k : cases) {
    SetUp();
    port.calls.clear();
    ConfigControls c = Shown();
    c.ComboPort = "7";
    c.ComboBaud = "19200";
    c.ComboData = "7";
    c.ComboParity = k.parity;
    c.ComboStop = k.stop;
    c.ChkPort = k.portActive;
    Apply(c);
    EXPECT_EQ(port.calls, k.calls) << k.parity << " " << k.stop;
  }
}

TEST_F(ConfigApplyTest, AnyNumberIsTakenForPortAndBaudRate) {
  ConfigControls c = Shown();
  c.ComboPort = "42"; // not a present port
  c.ComboBaud = "1000";
  Apply(c);
  EXPECT_EQ(ws->Settings.CommPort, 42);
  EXPECT_EQ(ws->Settings.BaudRate, 1000);
  EXPECT_EQ(port.calls.at(1), "OpenComm 42 1024 1024 1000 8 0 1");
}

// A box that is not a number stops "Exit" at its step: the settings of the
// steps before it are taken over, the later ones are not, and the port stays
// closed.
TEST_F(ConfigApplyTest, NonNumericBoxStopsAtItsStep) {
  // Settings in the order "Exit" takes them over, with the value the controls
  // below give each.
  struct Setting {
    const char* name;
    std::function<int64_t(const Workspace&)> read;
    int64_t typed;
  };
  const std::vector<Setting> settings = {
      {"RtuMode", [](const Workspace& w) { return int64_t{w.Settings.RtuMode}; }, 0},
      {"IsMaster", [](const Workspace& w) { return int64_t{w.Settings.IsMaster}; }, 1},
      {"CommPort", [](const Workspace& w) { return int64_t{w.Settings.CommPort}; }, 9},
      {"BaudRate", [](const Workspace& w) { return int64_t{w.Settings.BaudRate}; }, 38400},
      {"SingleRegWrite", [](const Workspace& w) { return int64_t{w.Settings.SingleRegWrite}; }, 1},
      {"PollTime", [](const Workspace& w) { return int64_t{w.Settings.PollTime}; }, 12},
      {"ResponseTime", [](const Workspace& w) { return int64_t{w.Settings.ResponseTime}; }, 700},
      {"DataBits", [](const Workspace& w) { return int64_t{w.Settings.DataBits}; }, 7},
      {"Parity", [](const Workspace& w) { return int64_t{w.Settings.Parity == "O"}; }, 1},
      {"SlotAddress[1]", [](const Workspace& w) { return int64_t{w.Devices.SlotAddress[1]}; }, 21},
      {"SlotAddress[2]", [](const Workspace& w) { return int64_t{w.Devices.SlotAddress[2]}; }, 22},
      {"SlotAddress[3]", [](const Workspace& w) { return int64_t{w.Devices.SlotAddress[3]}; }, 23},
      {"SlotAddress[4]", [](const Workspace& w) { return int64_t{w.Devices.SlotAddress[4]}; }, 24},
      {"SlotAddress[5]", [](const Workspace& w) { return int64_t{w.Devices.SlotAddress[5]}; }, 25},
      {"ActiveSlot", [](const Workspace& w) { return int64_t{w.Devices.ActiveSlot}; }, 4},
      {"DeviceAddress", [](const Workspace& w) { return int64_t{w.Devices.DeviceAddress}; }, 24},
      {"StopBits", [](const Workspace& w) { return int64_t{w.Settings.StopBits}; }, 2},
  };
  auto typed = [] {
    ConfigControls c;
    c.ChkPort = true;
    c.OptRTU = false;
    c.OptMaster = true;
    c.ComboPort = "9";
    c.ComboBaud = "38400";
    c.ChkSingleReg = true;
    c.TxtPollTime = "12";
    c.TxtResponseTime = "700";
    c.ComboData = "7";
    c.ComboParity = "O";
    c.TxtAddr = {"", "21", "22", "23", "24", "25"};
    c.OptAddr = 4;
    c.ComboStop = "2";
    return c;
  };
  struct Break {
    std::function<void(ConfigControls&)> spoil;
    std::string text;
    size_t settingsTaken; // how many of `settings` hold their new value
  };
  const std::vector<Break> breaks = {
      {[](ConfigControls& c) { c.ComboPort = "COM9"; }, "COM9", 2},
      {[](ConfigControls& c) { c.ComboBaud = "fast"; }, "fast", 3},
      {[](ConfigControls& c) { c.TxtPollTime = "5s"; }, "5s", 5},
      {[](ConfigControls& c) { c.TxtResponseTime = ""; }, "", 6},
      {[](ConfigControls& c) { c.TxtAddr[3] = "2x"; }, "2x", 11},
      {[](ConfigControls& c) { c.ComboStop = "1.5"; }, "1.5", 16},
      {[](ConfigControls& c) { c.ComboPort = "99999999999"; }, "99999999999", 2},
  };
  for (const Break& b : breaks) {
    SetUp();
    port.calls.clear();
    ws->Settings.PortActive = 1;
    const auto before = MakeWorkspace();
    *before = *ws;
    ConfigControls c = typed();
    b.spoil(c);
    try {
      Apply(c);
      ADD_FAILURE() << "no error for '" << b.text << "'";
    } catch (const ConversionError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + b.text + "' is not a valid integer value");
    }
    for (size_t i = 0; i < settings.size(); ++i) {
      const int64_t expected = i < b.settingsTaken ? settings[i].typed : settings[i].read(*before);
      EXPECT_EQ(settings[i].read(*ws), expected) << settings[i].name << " with '" << b.text << "'";
    }
    EXPECT_EQ(port.calls, std::vector<std::string>{"CloseComm 2"}) << b.text;
  }
}

TEST_F(ConfigApplyTest, PortThatCannotOpenFailsAfterEverySetting) {
  port.refuse = true;
  ConfigControls c = Shown();
  c.ChkPort = true;
  c.TxtPollTime = "9";
  c.ComboStop = "2";
  EXPECT_THROW(Apply(c), std::runtime_error);
  EXPECT_EQ(ws->Settings.PollTime, 9);
  EXPECT_EQ(ws->Settings.StopBits, st2Bits);
  EXPECT_EQ(port.calls.back(), "PortActivate");
}

TEST_F(ConfigApplyTest, ShownControlsReflectTheWorkspace) {
  ws->Settings.RtuMode = fmAscii;
  ws->Settings.IsMaster = roMaster;
  ws->Settings.SingleRegWrite = 1;
  ws->Settings.PortActive = 1;
  ws->Settings.Parity = "x"; // a register file may bring any text
  ws->Devices.ActiveSlot = 4;
  const ConfigControls c = Shown();
  EXPECT_FALSE(c.OptRTU);
  EXPECT_TRUE(c.OptMaster);
  EXPECT_TRUE(c.ChkSingleReg);
  EXPECT_TRUE(c.ChkPort);
  EXPECT_EQ(c.ComboPort, "2");
  EXPECT_EQ(c.ComboParity, "x");
  EXPECT_EQ(c.TxtResponseTime, "1000");
  EXPECT_EQ(c.TxtAddr[5], "15");
  EXPECT_EQ(c.OptAddr, 4);
}

// "RS-485 Direction Control" and "Listen only" show and set run options, taken
// over before the port is configured and opened (both read them there).
TEST_F(ConfigApplyTest, RunOptionBoxesAreTakenOverBeforeThePortIsConfigured) {
  struct Case {
    const char* name;
    bool RunOptions::*option;
    bool ConfigControls::*box;
  } cases[] = {
      {"ChkRs485", &RunOptions::Rs485, &ConfigControls::ChkRs485},
      {"ChkListen", &RunOptions::ListenOnly, &ConfigControls::ChkListen},
  };
  for (const Case& k : cases) {
    for (const bool on : {true, false}) {
      SCOPED_TRACE(std::string(k.name) + (on ? " on" : " off"));
      const RunOptions others = ws->Run;
      ws->Run.*k.option = !on;
      ws->Run.Rs485DelayBeforeMs = 7; // delays come from the command line and stay
      EXPECT_EQ(Shown().*k.box, !on);
      ConfigControls c = Shown();
      c.*k.box = on;
      c.ChkPort = true;
      // What OpenComm and PortActivate find in the workspace is what the port
      // is configured and opened with.
      struct Probe final : public ConfigPort {
        Workspace& ws;
        bool RunOptions::*option;
        std::vector<bool> seen;
        Probe(Workspace& w, bool RunOptions::*o) : ws(w), option(o) {}
        void CloseComm(int32_t) override {}
        void OpenComm(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t) override {
          seen.push_back(ws.Run.*option);
        }
        void PortActivate() override { seen.push_back(ws.Run.*option); }
      } probe(*ws, k.option);
      ApplyConfigControls(*ws, c, probe);
      EXPECT_EQ(probe.seen, (std::vector<bool>{on, on}));
      EXPECT_EQ(ws->Run.*k.option, on);
      EXPECT_EQ(ws->Run.Rs485DelayBeforeMs, 7u);
      // The other box showed the other option and gave it back unchanged.
      for (const Case& other : cases) {
        if (other.option != k.option) {
          EXPECT_EQ(ws->Run.*other.option, others.*other.option);
        }
      }
    }
    // A box that is not a number stops "Exit" before the option is taken.
    ws->Run.*k.option = false;
    ConfigControls c = Shown();
    c.*k.box = true;
    c.ComboStop = "x";
    EXPECT_THROW(Apply(c), ConversionError);
    EXPECT_FALSE(ws->Run.*k.option);
  }
}

TEST(PollInterval, MillisecondsClampedAndBelowOneStopped) {
  EXPECT_EQ(PollIntervalMs(30), 30000);
  EXPECT_EQ(PollIntervalMs(1), 1000);
  EXPECT_EQ(PollIntervalMs(0), 0);
  EXPECT_EQ(PollIntervalMs(-7), 0);
  EXPECT_EQ(PollIntervalMs(2147483), 2147483000);
  EXPECT_EQ(PollIntervalMs(2147484), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(PollIntervalMs(std::numeric_limits<int32_t>::max()), std::numeric_limits<int32_t>::max());
}

} // namespace
} // namespace korvane
