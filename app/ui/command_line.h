#pragma once
// The program's command line:
//   korvane [FILE] [--open] [--headless] [--save-on-exit OUT] [--trace FILE]
//           [--port N=DEVICE]... [--rs485[=BEFORE_MS,AFTER_MS]] [--listen] [/debug|-debug]
// plus --list-ports, --help and --version. Parsing only; no Qt, no side effects.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane {

struct CommandLine {
  std::string File;                               // register file loaded at start; empty: none
  bool Open = false;                              // take the settings over and open the port
  bool Headless = false;                          // no window: status on stdout, messages on stderr
  std::optional<std::string> SaveOnExit;          // register file written when the program ends
  std::optional<std::string> Trace;               // every frame on the line, as CSV, written here
  std::vector<std::pair<int, std::string>> Ports; // COM number -> device, in the order given
  bool Debug = false;                             // "/debug" or "-debug", any case
  bool Rs485 = false;                             // RS-485 direction control by the driver
  uint32_t Rs485DelayBeforeMs = 0;                // RTS raised this long before sending
  uint32_t Rs485DelayAfterMs = 0;                 // and held this long after
  bool Listen = false;                            // listen only: nothing is ever sent
  bool ListPorts = false;                         // print the serial ports and end
  bool Help = false;
  bool Version = false;
};

struct ParseOutcome {
  CommandLine Line;
  std::string Error; // not empty: the command line is wrong (usage, exit status 2)
};

// `args` without the program name. "--" ends the options: what follows is FILE.
ParseOutcome ParseCommandLine(const std::vector<std::string>& args);

// The usage text, ending in a line feed.
std::string UsageText();
// "korvane 1.48"
std::string VersionText();

} // namespace korvane
