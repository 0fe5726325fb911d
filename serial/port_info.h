#pragma once
// What the machine says about the device behind a COM number: its path, its
// stable name under /dev/serial/by-id, the driver and, for USB adapters, the
// vendor, product and serial number, plus the latency timer of usb-serial
// adapters (which holds back every reply by up to that many milliseconds).
// Read from sysfs and /dev; both roots are parameters, so tests build a fake
// tree in a temporary folder.
#include "serial/port_map.h"

#include <string>
#include <vector>

namespace korvane {

struct PortInfoRoots {
  std::string Sys = "/sys";
  std::string Dev = "/dev";
};

struct PortInfo {
  int Number = 0;
  std::string Device;  // as the COM map resolves it; empty: the number maps to nothing
  std::string ById;    // the name in <dev>/serial/by-id that leads to the device
  std::string TtyName; // the kernel's name of the device (ttyUSB0)
  std::string Driver;  // ftdi_sio, cdc_acm, serial8250, ...
  bool Usb = false;
  std::string VendorId, ProductId, Manufacturer, Product, SerialNumber;
  int LatencyTimerMs = -1;      // -1: the device has none
  std::string LatencyTimerPath; // the sysfs file that sets it
};

// The description of COM `number`.
PortInfo DescribePort(const PortMap& map, int number, const PortInfoRoots& roots = {});
// Every port whose device exists, in COM order.
std::vector<PortInfo> ListPorts(const PortMap& map, const PortInfoRoots& roots = {});

// One line on who made the device ("FTDI FT232R USB UART, serial A50285BI
// (0403:6001), driver ftdi_sio"); empty when nothing is known.
std::string PortSummary(const PortInfo& info);
// What a latency timer above 1 ms costs and how to lower it; empty otherwise.
std::string LatencyAdvice(const PortInfo& info);
// The text of `korvane --list-ports`.
std::string PortListText(const std::vector<PortInfo>& ports);

} // namespace korvane
