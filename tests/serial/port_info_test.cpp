// What --list-ports and the configuration dialog say about a port, read from
// a fake sysfs and /dev tree.
#include "serial/port_info.h"

#include "support/fake_sysfs.h"

#include <gtest/gtest.h>

using namespace korvane;
using korvane::test::FakeSysfs;

namespace {

class PortInfoTest : public ::testing::Test {
protected:
  FakeSysfs tree{"info"};
  PortMap ports{tree.ClassTtyDir(), tree.Dev().string()};
  PortInfoRoots roots{tree.Sys().string(), tree.Dev().string()};
};

} // namespace

TEST_F(PortInfoTest, EachKindOfPortIsDescribed) {
  const std::vector<PortInfo> list = ListPorts(ports, roots);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].Number, 1);
  EXPECT_EQ(list[1].Number, 33);
  EXPECT_EQ(list[2].Number, 65);

  const PortInfo& uart = list[0];
  EXPECT_EQ(uart.Device, (tree.Dev() / "ttyS0").string());
  EXPECT_EQ(uart.Driver, "serial") << "the UART's own driver, not the serial core's port";
  EXPECT_FALSE(uart.Usb);
  EXPECT_EQ(uart.ById, "");
  EXPECT_EQ(uart.LatencyTimerMs, -1);
  EXPECT_EQ(PortSummary(uart), "driver serial");

  const PortInfo& ftdi = list[1];
  EXPECT_EQ(ftdi.Device, (tree.Dev() / "ttyUSB0").string());
  EXPECT_EQ(ftdi.TtyName, "ttyUSB0");
  EXPECT_EQ(ftdi.ById, FakeSysfs::kFtdiById);
  EXPECT_TRUE(ftdi.Usb);
  EXPECT_EQ(ftdi.VendorId, "0403");
  EXPECT_EQ(ftdi.ProductId, "6001");
  EXPECT_EQ(ftdi.Driver, "ftdi_sio");
  EXPECT_EQ(ftdi.LatencyTimerMs, 16);
  EXPECT_EQ(ftdi.LatencyTimerPath, tree.LatencyPath());
  EXPECT_EQ(PortSummary(ftdi), "FTDI FT232R USB UART, serial A50285BI (0403:6001), driver ftdi_sio");

  const PortInfo& acm = list[2];
  EXPECT_EQ(acm.Driver, "cdc_acm");
  EXPECT_EQ(acm.Product, "Arduino Uno");
  EXPECT_EQ(acm.SerialNumber, "7583");
  EXPECT_EQ(acm.LatencyTimerMs, -1) << "only usb-serial adapters have the timer";
}

TEST_F(PortInfoTest, AByIdNameGivenAsTheDeviceLeadsToTheSameAdapter) {
  ports.SetPortOverride(7, (tree.Dev() / "serial/by-id" / FakeSysfs::kFtdiById).string());
  const PortInfo info = DescribePort(ports, 7, roots);
  EXPECT_EQ(info.TtyName, "ttyUSB0");
  EXPECT_EQ(info.ById, FakeSysfs::kFtdiById);
  EXPECT_EQ(info.Driver, "ftdi_sio");
  EXPECT_EQ(info.SerialNumber, "A50285BI");
  // A number that maps to nothing is described as nothing.
  const PortInfo none = DescribePort(ports, 40, roots);
  EXPECT_EQ(none.Device, "");
  EXPECT_EQ(PortSummary(none), "");
}

TEST_F(PortInfoTest, LatencyTimerAboveOneMillisecondIsExplained) {
  struct Case {
    const char* file;
    int ms;
    bool advice;
  };
  const Case cases[] = {{"16\n", 16, true}, {"2", 2, true},       {"1\n", 1, false},     {"0\n", 0, false},
                        {"", -1, false},    {"abc\n", -1, false}, {"4096\n", -1, false}, {"-5\n", -1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    tree.SetLatency(c.file);
    const PortInfo info = DescribePort(ports, 33, roots);
    EXPECT_EQ(info.LatencyTimerMs, c.ms);
    const std::string advice = LatencyAdvice(info);
    EXPECT_EQ(!advice.empty(), c.advice) << advice;
    if (!c.advice) continue;
    EXPECT_NE(advice.find(std::to_string(c.ms) + " ms"), std::string::npos) << advice;
    EXPECT_NE(advice.find("echo 1 | sudo tee " + tree.LatencyPath()), std::string::npos) << advice;
    EXPECT_NE(advice.find("udev rule in the README"), std::string::npos) << advice;
  }
}

TEST_F(PortInfoTest, ListTextNamesEveryPort) {
  const std::string text = PortListText(ListPorts(ports, roots));
  const std::string expected =
      "COM1  " + (tree.Dev() / "ttyS0").string() + "\n" +
      "    driver serial\n"
      "COM33  " +
      (tree.Dev() / "ttyUSB0").string() + "\n" + "    by-id: " + FakeSysfs::kFtdiById + "\n" +
      "    FTDI FT232R USB UART, serial A50285BI (0403:6001), driver ftdi_sio\n" + "    " +
      LatencyAdvice(DescribePort(ports, 33, roots)) + "\n" + "COM65  " + (tree.Dev() / "ttyACM0").string() +
      "\n" + "    Arduino (www.arduino.cc) Arduino Uno, serial 7583 (2341:0043), driver cdc_acm\n";
  EXPECT_EQ(text, expected);
  tree.SetLatency("1\n");
  EXPECT_NE(PortListText(ListPorts(ports, roots)).find("    latency timer 1 ms\n"), std::string::npos);
  EXPECT_EQ(PortListText({}), "No serial ports found.\n");
}
