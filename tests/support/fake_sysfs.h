#pragma once
// A fake sysfs and /dev in a temporary folder, shaped as the kernel lays them
// out for serial ports: a USB-serial adapter (ttyUSB0, with its latency
// timer and a /dev/serial/by-id name), a USB modem (ttyACM0) and a built-in
// UART (ttyS0). Removed again when the object goes.
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace korvane::test {

class FakeSysfs {
public:
  static constexpr const char* kFtdiById = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

  explicit FakeSysfs(const std::string& tag) {
    root_ =
        std::filesystem::temp_directory_path() / ("korvane-sysfs-" + tag + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root_);
    const auto usb = Sys() / "devices/pci0000:00/0000:00:14.0/usb1";
    // The FTDI adapter: USB device 1-2, interface 1-2:1.0, usb-serial port ttyUSB0.
    UsbDevice(usb / "1-2", "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI");
    const auto port = usb / "1-2/1-2:1.0/ttyUSB0";
    Dir(port);
    Driver(port, "usb-serial", "ftdi_sio");
    SetLatency("16");
    ClassTty("ttyUSB0", port);
    // The modem: USB device 1-3, its ACM interface is the tty's device.
    UsbDevice(usb / "1-3", "2341", "0043", "Arduino (www.arduino.cc)", "Arduino Uno", "7583");
    Dir(usb / "1-3/1-3:1.0");
    Driver(usb / "1-3/1-3:1.0", "usb", "cdc_acm");
    ClassTty("ttyACM0", usb / "1-3/1-3:1.0");
    // The UART on the board, behind the serial core's controller and port
    // devices as newer kernels lay it out.
    const auto uart = Sys() / "devices/pnp0/00:00";
    Dir(uart / "00:00:0/00:00:0.0");
    Driver(uart, "pnp", "serial");
    Driver(uart / "00:00:0", "serial-base", "ctrl");
    Driver(uart / "00:00:0/00:00:0.0", "serial-base", "port");
    ClassTty("ttyS0", uart / "00:00:0/00:00:0.0");
    std::ofstream(Sys() / "class/tty/ttyS0/type") << "4\n";
    // Their device nodes (plain files will do) and the by-id link.
    std::filesystem::create_directories(Dev() / "serial/by-id");
    for (const char* name : {"ttyUSB0", "ttyACM0", "ttyS0"}) std::ofstream(Dev() / name).put('\0');
    std::filesystem::create_symlink("../../ttyUSB0", Dev() / "serial/by-id" / kFtdiById);
  }
  ~FakeSysfs() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  std::filesystem::path Sys() const { return root_ / "sys"; }
  std::filesystem::path Dev() const { return root_ / "dev"; }
  std::string ClassTtyDir() const { return (Sys() / "class/tty").string(); }
  // The usb-serial port's latency timer file as the kernel names it.
  std::string LatencyPath() const { return (Sys() / "class/tty/ttyUSB0/device/latency_timer").string(); }
  void SetLatency(const std::string& text) {
    std::ofstream(Sys() / "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/latency_timer") << text;
  }

private:
  static void Dir(const std::filesystem::path& p) { std::filesystem::create_directories(p); }
  static void Attribute(const std::filesystem::path& p, const std::string& value) {
    std::ofstream(p) << value << "\n";
  }
  void UsbDevice(const std::filesystem::path& at, const char* vendor, const char* product, const char* maker,
                 const char* name, const char* serial) {
    Dir(at);
    Attribute(at / "idVendor", vendor);
    Attribute(at / "idProduct", product);
    Attribute(at / "manufacturer", maker);
    Attribute(at / "product", name);
    Attribute(at / "serial", serial);
  }
  void Driver(const std::filesystem::path& device, const char* bus, const char* driver) {
    const auto target = Sys() / "bus" / bus / "drivers" / driver;
    Dir(target);
    std::filesystem::create_symlink(target, device / "driver");
  }
  void ClassTty(const char* name, const std::filesystem::path& device) {
    const auto entry = Sys() / "class/tty" / name;
    Dir(entry);
    std::filesystem::create_symlink(device, entry / "device");
  }

  std::filesystem::path root_;
};

} // namespace korvane::test
