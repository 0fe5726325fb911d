#include "app/ui/command_line.h"

#include "serial/platform/tcp_backend.h"

#include <cctype>

namespace korvane {
namespace {

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return i == a.size() && b[i] == '\0';
}

// "N=DEVICE" with N a COM number 1..99 written as plain decimal digits.
bool ParsePortMapping(const std::string& text, std::pair<int, std::string>& out) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq > 2 || eq + 1 >= text.size()) return false;
  int number = 0;
  for (size_t i = 0; i < eq; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    number = number * 10 + (text[i] - '0');
  }
  if (number < 1 || number > 99) return false;
  out = {number, text.substr(eq + 1)};
  return true;
}

// "BEFORE_MS,AFTER_MS": two plain decimal numbers of milliseconds, 0..1000.
bool ParseRs485Delays(const std::string& text, uint32_t& before, uint32_t& after) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  auto number = [](const std::string& digits, uint32_t& out) {
    if (digits.empty() || digits.size() > 4) return false;
    uint32_t v = 0;
    for (const char ch : digits) {
      if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
      v = v * 10 + static_cast<uint32_t>(ch - '0');
    }
    if (v > 1000) return false;
    out = v;
    return true;
  };
  return number(text.substr(0, comma), before) && number(text.substr(comma + 1), after);
}

} // namespace

ParseOutcome ParseCommandLine(const std::vector<std::string>& args) {
  ParseOutcome r;
  CommandLine& c = r.Line;
  bool haveFile = false;
  auto takeFile = [&](const std::string& a) {
    if (haveFile) {
      r.Error = "more than one FILE: '" + a + "'";
      return false;
    }
    if (a.empty()) {
      r.Error = "empty FILE name";
      return false;
    }
    c.File = a;
    haveFile = true;
    return true;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      for (++i; i < args.size(); ++i)
        if (!takeFile(args[i])) return r;
      break;
    }
    if (a == "--open") {
      c.Open = true;
    } else if (a == "--headless") {
      c.Headless = true;
    } else if (a == "--help") {
      c.Help = true;
    } else if (a == "--version") {
      c.Version = true;
    } else if (a == "--save-on-exit") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        r.Error = "--save-on-exit needs a file name";
        return r;
      }
      c.SaveOnExit = args[++i];
    } else if (a == "--trace") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        r.Error = "--trace needs a file name";
        return r;
      }
      c.Trace = args[++i];
    } else if (a == "--port") {
      std::pair<int, std::string> mapping;
      if (i + 1 >= args.size() || !ParsePortMapping(args[i + 1], mapping)) {
        r.Error = "--port needs N=DEVICE with N from 1 to 99";
        return r;
      }
      if (IsNetworkDevice(mapping.second) && !ParseNetworkDevice(mapping.second)) {
        r.Error = "--port " + args[i + 1] + ": a network port is tcp:HOST:PORT or tcp-listen:[HOST:]PORT";
        return r;
      }
      c.Ports.push_back(std::move(mapping));
      ++i;
    } else if (a == "--listen") {
      c.Listen = true;
    } else if (a == "--list-ports") {
      c.ListPorts = true;
    } else if (a == "--rs485" || a.rfind("--rs485=", 0) == 0) {
      if (a.size() > 7 && !ParseRs485Delays(a.substr(8), c.Rs485DelayBeforeMs, c.Rs485DelayAfterMs)) {
        r.Error = "--rs485= needs BEFORE_MS,AFTER_MS, each from 0 to 1000";
        return r;
      }
      c.Rs485 = true;
    } else if (EqualsNoCase(a, "/debug") || EqualsNoCase(a, "-debug")) {
      c.Debug = true;
    } else if (!a.empty() && a[0] == '-') {
      r.Error = "unknown option '" + a + "'";
      return r;
    } else if (!takeFile(a)) {
      return r;
    }
  }
  return r;
}

std::string UsageText() {
  return "Usage: korvane [FILE] [--open] [--headless] [--save-on-exit OUT] [--trace FILE] "
         "[--port N=DEVICE]... [--rs485[=BEFORE_MS,AFTER_MS]] [--listen] [/debug|-debug]\n"
         "       korvane --list-ports\n"
         "  FILE                 register file loaded at start, as \"&Load\" loads it\n"
         "  --open               take the settings over and open the serial port\n"
         "  --headless           show no window; status lines on standard output,\n"
         "                       messages on standard error; SIGINT/SIGTERM end it\n"
         "  --save-on-exit OUT   write the register file OUT when the program ends\n"
         "  --trace FILE         write every frame on the line to FILE as it is framed,\n"
         "                       one CSV line each (time_us,dir,device,function,bytes,\n"
         "                       check,response_us,summary,hex); FILE may be a FIFO\n"
         "                       or /dev/stderr\n"
         "  --port N=DEVICE      COM number N (1..99) is DEVICE (as KORVANE_COM<N>=DEVICE)\n"
         "  --port N=tcp:HOST:PORT\n"
         "                       COM N is a TCP connection to a serial device server\n"
         "                       (RTU or ASCII frames unchanged); reconnects when lost\n"
         "  --port N=tcp-listen:[HOST:]PORT\n"
         "                       COM N listens at PORT and takes one client at a time\n"
         "  --rs485[=BEFORE_MS,AFTER_MS]\n"
         "                       RS-485 direction control by the serial driver: RTS raised\n"
         "                       while sending, BEFORE_MS before and AFTER_MS after (0..1000,\n"
         "                       default 0,0); refused by devices without the kernel's RS-485 mode\n"
         "  --listen             listen only: open the port without writing a byte or raising\n"
         "                       DTR/RTS, send nothing, and fill the tables from the replies seen\n"
         "  --list-ports         list the COM numbers with their devices, by-id names, USB\n"
         "                       vendor, product, serial number, driver and latency timer\n"
         "  /debug, -debug       write the diagnostic log HHDebug.txt\n"
         "  --help               this text\n"
         "  --version            the program's version\n";
}

std::string VersionText() { return "korvane 1.48"; }

} // namespace korvane
