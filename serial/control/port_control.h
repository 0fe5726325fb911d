#pragma once
// Port control: the main window's side of the serial line. It maps the
// workspace's serial settings onto the serial port component (Serial1), opens
// and closes the port and shows its state, sends every frame the engine builds
// (FrameSender), routes every received chunk to the slave or master checker,
// and reports a missing master reply. It feeds the traffic monitors (the
// transmit side when a frame is sent, the receive side when a chunk arrives)
// and the line analyzer (every byte on the line, with its time).
//
// Everything here runs on the user-interface thread: the component raises
// OnReceive through its invoker and waits, so the receive path, the reply
// timer and the senders never interleave. What the window shows goes through
// PortView; no Qt here.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "config/core/config_apply.h"
#include "modbus/line_decoder.h"
#include "modbus/sender.h"
#include "serial/port_info.h"
#include "serial/serial_port.h"

namespace korvane {

class LineAnalyzer;
class TMaster;
class TSlave;

// The window-facing effects of port control. The main window implements it;
// tests record the calls.
class PortView {
public:
  virtual ~PortView() = default;
  // TxtPort: "Active" in green (0, 128, 0) or "InActive" in red (255, 0, 0).
  virtual void ShowPortState(bool active) = 0;
  // The status line for a reply status code after a prefix (app/core/status.h),
  // the grid redrawn when that rule says so.
  virtual void StatusDisplay(int32_t code, const std::string& prefix) = 0;
  virtual void DisplayRegs() = 0;
  virtual void ModeDisplay() = 0;
  // The address selector rebuilt from SlotAddress, showing the active slot.
  virtual void FillAddressSelector() = 0;
  // Interval of the poll timer Timer1; 0 (a poll time below 1 from a file)
  // stops it.
  virtual void SetPollInterval(int32_t ms) = 0;
  // The detail of the port state, after each activation: what the driver did
  // differently from the settings ("COM5: the driver took 9600 baud instead of
  // 12345"), or why RS-485 mode could not be had; empty for a clean open.
  virtual void ShowPortDetail(const std::string& /*detail*/) {}
  // A sentence on the port's network link ("COM1: connected to
  // 10.0.0.7:4001") for the status line.
  virtual void ShowLinkStatus(const std::string& text) = 0;
};

// The reply timer's step: when the master awaits a reply and ReplyDeadline has
// passed, AwaitingReply := 0 and the time-out is shown with the poll prefix
// (also after a write). Returns whether it was reported.
bool CheckReplyTimeout(Workspace& ws, TMaster& master, const TickSource& ticks, PortView& view);

// What the line analyzer decodes the line with, from the workspace: its rate
// and character format (as OpenComm gives them to the port), RTU or ASCII as
// the role frames (the master's requests by FramesRtuUnlessAscii, the slave
// and the receive path by FramesRtu), ResponseTime as the reply time-out.
// Timing is taken as resolved.
line::DecoderSettings AnalyzerSettings(const Workspace& ws);

// How the read stamps of the open port can time the line.
struct LineTimingSource {
  bool PseudoTerminal = false;
  bool NetworkLink = false;
  int LatencyTimerMs = -1; // a usb-serial adapter's latency timer; -1: none
};
// Why gaps inside frames and silences between them cannot be measured at
// `settings` through `source` (a pseudo-terminal, a network link, an
// adapter's latency timer longer than 1.5 character times); empty when they
// can.
std::string TimingNote(const LineTimingSource& source, const line::DecoderSettings& settings);

class PortControl final : public FrameSender, public ConfigPort {
public:
  static constexpr int32_t kBufferSize = 1024;
  static constexpr char kOpenBanner[] = "Open Port";

  // Binds the component's OnReceive to Serial1PortReceive and gives it the
  // main window's settings (COM1, CustomBaudRate 0). All four must outlive
  // this object.
  PortControl(Workspace& ws, TSerialPort& serial, const TickSource& ticks, PortView& view);
  ~PortControl() override;
  PortControl(const PortControl&) = delete;
  PortControl& operator=(const PortControl&) = delete;

  // The engines are built after port control (they send through it); until
  // they are attached, received chunks are recorded for the monitors only.
  void AttachEngines(TSlave* slave, TMaster* master);
  // The line analyzer that hears the line while the port is open (null:
  // none). It is started at each good activation with AnalyzerSettings, the
  // port's open stamp and the TimingNote, gets every write and every chunk
  // (the chunk before the engines see it, so a request is framed before the
  // reply the slave sends from its checker) and is stopped when the port
  // closes or goes away.
  void AttachAnalyzer(LineAnalyzer* analyzer) { analyzer_ = analyzer; }

  // The port operations of the configuration dialog, "&Load" and "Exit".
  // Prepares the component without opening it (closes it first). ParityCode:
  // 0 none, 1 even, 2 odd, 3 mark, 4 space; a DataBits other than 7 or 8, a
  // ParityCode outside 0..4 and a StopBits other than 1 or 2 leave that setting
  // of the component as it was. A baud rate outside the fourteen standard
  // rates becomes brCustom (the component's CustomBaudRate, 0).
  void OpenComm(int32_t Port, int32_t InputBuffer, int32_t OutputBuffer, int32_t Baud, int32_t DataBits,
                int32_t ParityCode, int32_t StopBits) override;
  // Opens the port with DTR and RTS raised (RS-485 direction control when the
  // run options ask for it), shows "Active", PortActive := 1 and writes "Open
  // Port" to the line. A difference between the settings and what the driver
  // took, or an adapter latency timer above 1 ms, is logged and shown as the
  // port's detail. Throws SerialError "Cannot connect to COMn." when the device
  // cannot be opened, with the reason (also written to the diagnostic log);
  // nothing has changed then. A network port shows its link state; one without
  // a peer yet (a listener) stays "InActive", writes nothing and becomes active
  // when a peer comes. The attached line analyzer starts with the open (the
  // banner is its first frame written).
  void PortActivate() override;
  // Only while PortActive: drops DTR and RTS on the open device, shows
  // "InActive", PortActive := 0 and closes the component. `Port` is not used.
  void CloseComm(int32_t Port) override;

  // Records the frame for the monitors and, while the port is active, writes
  // all of it with one SendBuffer. A failed or short write throws the
  // component's not-open error ("COMn is not open."). `port` is not used.
  void SendCommStr(int port, const std::string& frame) override;

  // One chunk from the reader thread, passed on unchanged and exactly once:
  // recorded for the monitors, then to the master's reply checker (with the
  // status shown) or to the slave's request checker.
  void Serial1PortReceive(TSerialPort& sender, const std::string& buffer);
  // The reader thread ended while the port was meant to be open (the device
  // vanished): PortActive := 0, "InActive" shown and OnPortGone told. A
  // CloseComm never gets here with the port active.
  void Serial1PortDisconnect(TCommPort port);
  // "COMn has gone away; the port is closed."
  static std::string PortGoneText(TCommPort port);
  // Told once with PortGoneText when the open port's device vanishes (a
  // headless run prints it); may be empty.
  std::function<void(const std::string& text)> OnPortGone;
  // The network link of the open port dropped or came back: the port shows
  // "InActive" (PortActive := 0) while there is no peer and "Active" again
  // when there is; the link's sentence goes to the status line and the log.
  void Serial1PortLink(const LinkStatus& link);

  // The 100 ms reply timer: a master reply missing past ReplyDeadline is
  // reported once as a time-out with the poll prefix; then AnalyzerTimer.
  void Timer2Timer();
  // The line analyzer's share of the 100 ms timer, while it runs: silences
  // and reply time-outs noticed without input (Advance to the component's
  // clock), and the UART error counts since the open refreshed.
  void AnalyzerTimer();

  // The configuration dialog's "Exit" for the workspace's own settings with
  // "Port Active" checked: CloseComm, OpenComm from the settings, PortActivate,
  // the poll interval, the mode line, the grid and the address selector. A
  // port that cannot be opened throws before the window is touched.
  void ApplySettingsAndOpen();

  TSerialPort& Serial1() { return serial_; }
  // Where activation looks up the adapter of the port (its latency timer).
  void SetPortInfoRoots(PortInfoRoots roots) { infoRoots_ = std::move(roots); }

private:
  // After a good open: logs and shows what the driver changed and what the
  // adapter's latency timer costs.
  void ReportPortDetail(const std::string& name, const PortInfo& info);
  // The analyzer starts on the port just opened.
  void StartAnalyzer(const PortInfo& info, bool networkLink);
  // `bytes` went to the line, the write beginning at `startUs`.
  void AnalyzerSent(const std::string& bytes, uint64_t startUs);
  void RefreshUartErrors();
  // The link's sentence, after the port name, on the status line and in the log.
  void ShowLink(const LinkStatus& link);

  Workspace& ws_;
  TSerialPort& serial_;
  const TickSource& ticks_;
  PortView& view_;
  TSlave* slave_ = nullptr;
  TMaster* master_ = nullptr;
  LineAnalyzer* analyzer_ = nullptr;
  // The COM number OpenComm was given, for the connect error of a number
  // that names no port.
  int32_t requestedPort_ = 1;
  PortInfoRoots infoRoots_;
  // The port is open but its network link has no peer: PortActive is 0, yet
  // CloseComm must still close it.
  bool linkWaiting_ = false;
};

} // namespace korvane
