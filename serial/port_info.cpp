#include "serial/port_info.h"

#include "serial/serial_types.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

namespace korvane {

namespace {

// Sysfs attributes are short; a longer one is cut, never trusted whole.
constexpr size_t kMaxAttribute = 256;
// How far up the device tree a USB device is looked for.
constexpr int kMaxLevels = 16;

std::string Canonical(const std::string& path) {
  if (path.empty()) return {};
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The first line of a sysfs attribute, blanks trimmed, printable characters only.
std::string ReadAttribute(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text(kMaxAttribute, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (const size_t end = text.find('\n'); end != std::string::npos) text.resize(end);
  std::string clean;
  for (const char c : text)
    if (std::isprint(static_cast<unsigned char>(c))) clean.push_back(c);
  const size_t first = clean.find_first_not_of(' ');
  const size_t last = clean.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : clean.substr(first, last - first + 1);
}

// A latency timer is 0..255 ms; anything else reads as none.
int ReadLatency(const std::string& path) {
  const std::string text = ReadAttribute(path);
  if (text.empty() || text.size() > 3) return -1;
  int value = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
    value = value * 10 + (c - '0');
  }
  return value <= 255 ? value : -1;
}

std::string FindById(const std::string& dev_root, const std::string& target) {
  if (target.empty()) return {};
  const std::string folder = dev_root + "/serial/by-id";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return {};
  std::string found;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    // Several names may lead to one device: the first in name order is kept.
    if (Canonical(folder + "/" + name) == target && (found.empty() || name < found)) found = name;
  }
  ::closedir(dir);
  return found;
}

void ReadSysfs(PortInfo& info, const std::string& sys_root) {
  const std::string entry = sys_root + "/class/tty/" + info.TtyName;
  if (info.TtyName.empty() || !Exists(entry)) return;
  const std::string device = Canonical(entry + "/device");
  if (device.empty()) return;
  // Newer kernels put a port and a controller device of the serial core
  // (bus serial-base) between the tty and the UART's own device.
  std::string driver = Canonical(device + "/driver");
  for (std::string at = device; driver.find("/bus/serial-base/") != std::string::npos && !at.empty();) {
    at = Parent(at);
    driver = Canonical(at + "/driver");
  }
  info.Driver = BaseName(driver);
  if (const int latency = ReadLatency(device + "/latency_timer"); latency >= 0) {
    info.LatencyTimerMs = latency;
    info.LatencyTimerPath = entry + "/device/latency_timer";
  }
  // The USB device is the nearest folder above with a vendor id, inside sysfs.
  const std::string top = Canonical(sys_root);
  std::string at = device;
  for (int level = 0; level < kMaxLevels && !at.empty() && at.size() > top.size() && at.rfind(top, 0) == 0;
       ++level, at = Parent(at)) {
    if (!Exists(at + "/idVendor")) continue;
    info.Usb = true;
    info.VendorId = ReadAttribute(at + "/idVendor");
    info.ProductId = ReadAttribute(at + "/idProduct");
    info.Manufacturer = ReadAttribute(at + "/manufacturer");
    info.Product = ReadAttribute(at + "/product");
    info.SerialNumber = ReadAttribute(at + "/serial");
    break;
  }
}

} // namespace

PortInfo DescribePort(const PortMap& map, int number, const PortInfoRoots& roots) {
  PortInfo info;
  info.Number = number;
  info.Device = map.ResolvePort(number);
  if (info.Device.empty()) return info;
  const std::string target = Canonical(info.Device);
  info.TtyName = BaseName(target.empty() ? info.Device : target);
  info.ById = FindById(roots.Dev, target);
  ReadSysfs(info, roots.Sys);
  return info;
}

std::vector<PortInfo> ListPorts(const PortMap& map, const PortInfoRoots& roots) {
  std::vector<PortInfo> list;
  const TCommPortSet present = map.ExistingPorts();
  for (int n = 1; n <= kMaxCommPort; ++n)
    if (present.Contains(static_cast<TCommPort>(n))) list.push_back(DescribePort(map, n, roots));
  return list;
}

std::string PortSummary(const PortInfo& info) {
  std::string text;
  auto add = [&](const std::string& part, const char* gap) {
    if (part.empty()) return;
    text += (text.empty() ? "" : gap) + part;
  };
  if (info.Usb) {
    add(info.Manufacturer, " ");
    add(info.Product, " ");
    if (!info.SerialNumber.empty()) add("serial " + info.SerialNumber, ", ");
    if (!info.VendorId.empty()) add("(" + info.VendorId + ":" + info.ProductId + ")", " ");
  }
  if (!info.Driver.empty()) add("driver " + info.Driver, ", ");
  return text;
}

std::string LatencyAdvice(const PortInfo& info) {
  if (info.LatencyTimerMs <= 1) return {};
  const std::string ms = std::to_string(info.LatencyTimerMs);
  return "latency timer " + ms + " ms: the adapter holds received bytes up to " + ms +
         " ms before passing them on, so every reply arrives that much later. Lower it to 1 ms with 'echo 1 "
         "| "
         "sudo tee " +
         info.LatencyTimerPath + "', or for good with the udev rule in the README.";
}

std::string PortListText(const std::vector<PortInfo>& ports) {
  if (ports.empty()) return "No serial ports found.\n";
  std::string text;
  for (const PortInfo& p : ports) {
    text += PortName(static_cast<TCommPort>(p.Number)) + "  " + p.Device + "\n";
    if (!p.ById.empty()) text += "    by-id: " + p.ById + "\n";
    if (const std::string s = PortSummary(p); !s.empty()) text += "    " + s + "\n";
    if (const std::string a = LatencyAdvice(p); !a.empty())
      text += "    " + a + "\n";
    else if (p.LatencyTimerMs >= 0)
      text += "    latency timer " + std::to_string(p.LatencyTimerMs) + " ms\n";
  }
  return text;
}

} // namespace korvane
