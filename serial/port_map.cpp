#include "serial/port_map.h"

#include "serial/platform/tcp_backend.h"

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <utility>

namespace korvane {

namespace {

bool PathExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// An 8250 port without a chip behind it still appears in sysfs, with type 0.
bool UartPresent(const std::string& sys_entry) {
  std::ifstream type(sys_entry + "/type");
  if (!type) return true; // no type file: not an 8250-style port, take it as present
  int value = 0;
  return (type >> value) && value != 0;
}

} // namespace

PortMap::PortMap(std::string sys_class_tty, std::string dev_dir)
    : sys_class_tty_(std::move(sys_class_tty)), dev_dir_(std::move(dev_dir)) {}

bool PortMap::SetPortOverride(int number, std::string device) {
  if (number < 1 || number > kMaxCommPort) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (device.empty())
    overrides_.erase(number);
  else
    overrides_[number] = std::move(device);
  return true;
}

std::string PortMap::SchemeDevice(int number) const {
  struct Range {
    int first;
    const char* name;
  };
  static constexpr Range kRanges[] = {{1, "ttyS"}, {33, "ttyUSB"}, {65, "ttyACM"}};
  for (const Range& r : kRanges) {
    if (number < r.first || number >= r.first + 32) continue;
    const std::string name = r.name + std::to_string(number - r.first);
    const std::string entry = sys_class_tty_ + "/" + name;
    if (!PathExists(entry)) return {};
    if (r.first == 1 && !UartPresent(entry)) return {};
    return dev_dir_ + "/" + name;
  }
  return {};
}

std::string PortMap::ResolvePort(int number) const {
  if (number < 1 || number > kMaxCommPort) return {};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = overrides_.find(number);
    if (it != overrides_.end()) return it->second;
  }
  const std::string var = "KORVANE_COM" + std::to_string(number);
  if (const char* env = std::getenv(var.c_str()); env != nullptr && *env != '\0') return env;
  return SchemeDevice(number);
}

TCommPortSet PortMap::ExistingPorts() const {
  TCommPortSet set;
  for (int n = 1; n <= kMaxCommPort; ++n) {
    // A network link has no path to look for: its entry is all there is.
    const std::string device = ResolvePort(n);
    if (IsNetworkDevice(device) || PathExists(device)) set.Include(static_cast<TCommPort>(n));
  }
  return set;
}

PortMap& DefaultPortMap() {
  static PortMap map;
  return map;
}

bool SetPortOverride(int number, std::string device) {
  return DefaultPortMap().SetPortOverride(number, std::move(device));
}

std::string ResolvePort(int number) { return DefaultPortMap().ResolvePort(number); }

} // namespace korvane
