#pragma once
// The configuration dialog without its window: what its controls show for the
// workspace, and how "Exit" takes the controls over into the workspace and
// reopens the port. The window copies its controls into ConfigControls, calls
// ApplyConfigControls, and on success does the window steps itself (poll
// timer, mode line, grid, address selector, hiding).
#include <array>
#include <cstdint>
#include <string>

#include "app/core/workspace.h"

namespace korvane {

// The three port-control calls "Exit" makes (port control, above this layer,
// implements them; the dialog is handed port control as a ConfigPort).
class ConfigPort {
public:
  virtual ~ConfigPort() = default;
  // Closes the port when it is active; nothing happens otherwise.
  virtual void CloseComm(int32_t port) = 0;
  // Sets the port's line settings without opening it. A value outside its
  // list (data bits, parity code, stop bits 0) leaves that setting as it was.
  virtual void OpenComm(int32_t port, int32_t inputBuffer, int32_t outputBuffer, int32_t baud,
                        int32_t dataBits, int32_t parityCode, int32_t stopBits) = 0;
  // Opens the port; throws the connect error when it cannot.
  virtual void PortActivate() = 0;
};

// The texts and states of the dialog's controls.
struct ConfigControls {
  bool ChkPort = false;
  std::string ComboPort;
  std::string ComboBaud;
  std::string ComboData;
  std::string ComboParity;
  std::string ComboStop;
  bool OptRTU = true;     // false: OptASCII is chosen
  bool OptMaster = false; // false: OptSlave is chosen
  std::string TxtPollTime;
  std::string TxtResponseTime;
  std::array<std::string, kSlotCount + 1> TxtAddr{}; // [1..5]
  int OptAddr = 0;                                   // the chosen address button 1..5, 0 none
  bool ChkSingleReg = false;
  bool ChkRs485 = false;  // RS-485 direction control (a run option)
  bool ChkListen = false; // listen only (a run option)
};

// Item lists of the combo boxes, in this order.
inline constexpr std::array<const char*, 7> kBaudItems = {"2400",  "4800",  "9600",  "19200",
                                                          "38400", "57600", "115200"};
inline constexpr std::array<const char*, 2> kDataItems = {"7", "8"};
inline constexpr std::array<const char*, 3> kParityItems = {"N", "E", "O"};
inline constexpr std::array<const char*, 2> kStopItems = {"1", "2"};

constexpr int32_t kCommBufferSize = 1024;

// Every control as the workspace fills it (activation shows all of them;
// creation leaves ComboPort's text and ChkSingleReg alone, and only creation
// writes TxtResponseTime). OptAddr is 0 when ActiveSlot is not 1..5.
ConfigControls ControlsFromWorkspace(const Workspace& ws);

// The item of ComboPort for COM `number`: the number as decimal text.
std::string PortItem(int number);

// 0 for "N", 1 for "E", 2 for "O", 0 for any other text.
TParityCode ParityCode(const std::string& parity);

// The stop bits handed to OpenComm: StopBits when it is 1 or 2, else 0 (which
// leaves the component's stop bits as they were).
int32_t StopBitsArgument(TStopBitsCode stopBits);

// "Exit" up to opening the port, in this order: CloseComm; RtuMode, IsMaster;
// CommPort; BaudRate; SingleRegWrite; PollTime (1..30); ResponseTime
// (400..2000); DataBits ("7" or "8"); Parity ("N", "E" or "O"); the five slot
// addresses (1..247 each); ActiveSlot; DeviceAddress; StopBits (any number);
// the RS-485 and listen-only run options; OpenComm; PortActivate when ChkPort is checked. Values out of range
// or list are ignored without a message.
//
// A box that is not a decimal integer throws ConversionError at its step; the
// steps before it stay in effect. What PortActivate throws passes through
// with every setting taken over. Either way the caller must not go on with
// its own steps.
void ApplyConfigControls(Workspace& ws, const ConfigControls& c, ConfigPort& port);

// Timer1's interval for a poll time in seconds, clamped to what a timer can
// hold; 0 (timer stopped) for a poll time below 1, which only a register
// file can bring.
int32_t PollIntervalMs(int32_t pollTime);

} // namespace korvane
