#pragma once
// COM numbers on Linux. Users keep COM1..COM99; this map turns a number into
// a device path:
//   1. an explicit entry (SetPortOverride, from the command line) wins;
//   2. then the environment variable KORVANE_COM<n> (for instance
//      KORVANE_COM5=/dev/ttyUSB0), when set and not empty;
//   3. otherwise a fixed scheme over the devices listed in /sys/class/tty:
//      ttyS0..31 -> COM1..32 (only ports with a UART behind them),
//      ttyUSB0..31 -> COM33..64, ttyACM0..31 -> COM65..96.
//      COM97..99 exist only by explicit entry or environment variable.
// A device may also be a network link ("tcp:HOST:PORT", "tcp-listen:PORT",
// serial/platform/tcp_backend.h); such a port counts as existing.
// So a number means the same device across runs.
#include "serial/serial_types.h"

#include <map>
#include <mutex>
#include <string>

namespace korvane {

class PortMap {
public:
  // `sys_class_tty` and `dev_dir` are where the scheme looks (tests point
  // them at a temporary folder).
  explicit PortMap(std::string sys_class_tty = "/sys/class/tty", std::string dev_dir = "/dev");

  // Maps COM `number` (1..99) to `device`; an empty device removes the entry.
  // Returns false for a number outside 1..99.
  bool SetPortOverride(int number, std::string device);
  // The device path of COM `number`; empty when it maps to nothing.
  std::string ResolvePort(int number) const;
  // The COM numbers whose device path exists now.
  TCommPortSet ExistingPorts() const;

private:
  std::string SchemeDevice(int number) const;

  std::string sys_class_tty_;
  std::string dev_dir_;
  mutable std::mutex mutex_;
  std::map<int, std::string> overrides_;
};

// The program's map, used by every serial component unless given another.
PortMap& DefaultPortMap();
// The same operations on DefaultPortMap().
bool SetPortOverride(int number, std::string device);
std::string ResolvePort(int number);

} // namespace korvane
