#include "serial/control/port_control.h"

#include "config/core/config_apply.h"

#include "app/core/int_conv.h"
#include "app/core/master_request.h"
#include "app/core/status.h"
#include "help/core/help_hook.h"
#include "help/core/startup_probe.h"
#include "modbus/line_timing.h"
#include "modbus/master.h"
#include "modbus/slave.h"
#include "monitor/core/line_analyzer.h"
#include "monitor/core/monitor_buffers.h"

#include <algorithm>
#include <limits>

namespace korvane {

line::DecoderSettings AnalyzerSettings(const Workspace& ws) {
  line::DecoderSettings d;
  const bool rtu = IsMasterRole(ws.Settings.IsMaster) ? FramesRtuUnlessAscii(ws.Settings.RtuMode)
                                                      : FramesRtu(ws.Settings.RtuMode);
  d.Framing = rtu ? frame::Framing::kRtu : frame::Framing::kAscii;
  d.Baud = ws.Settings.BaudRate;
  d.Format = LineFormat(ws);
  d.TimingResolved = true;
  d.ReplyTimeoutUs = static_cast<uint64_t>(std::max<int32_t>(ws.Settings.ResponseTime, 0)) * 1000;
  return d;
}

std::string TimingNote(const LineTimingSource& source, const line::DecoderSettings& settings) {
  const char* const cannot = ": gaps inside frames and silences between them cannot be measured.";
  if (source.PseudoTerminal) return std::string("Times are those of the reads on a pseudo-terminal") + cannot;
  if (source.NetworkLink) return std::string("Times are those of the reads on a network link") + cannot;
  // The adapter passes bytes on when its timer runs out: a pause shorter than
  // the timer is lost, so only a timer within 1.5 characters keeps the gaps.
  const uint64_t characterUs = TransmissionMicros(1, settings.Baud, settings.Format);
  if (source.LatencyTimerMs > 0 && static_cast<uint64_t>(source.LatencyTimerMs) * 2000 > 3 * characterUs)
    return "The adapter's latency timer (" + std::to_string(source.LatencyTimerMs) +
           " ms) is longer than the gaps in question" + cannot;
  return {};
}

PortControl::PortControl(Workspace& ws, TSerialPort& serial, const TickSource& ticks, PortView& view)
    : ws_(ws), serial_(serial), ticks_(ticks), view_(view) {
  serial_.SetPort(spCOM1);
  serial_.SetCustomBaudRate(0);
  serial_.OnReceive = [this](TSerialPort& sender, const std::string& buffer) {
    Serial1PortReceive(sender, buffer);
  };
  serial_.OnDisconnect = [this](TSerialPort&, TCommPort port) { Serial1PortDisconnect(port); };
  serial_.OnLinkChange = [this](TSerialPort&, const LinkStatus& link) { Serial1PortLink(link); };
}

PortControl::~PortControl() {
  serial_.OnReceive = nullptr;
  serial_.OnDisconnect = nullptr;
  serial_.OnLinkChange = nullptr;
}

void PortControl::Serial1PortDisconnect(TCommPort port) {
  // CloseComm marks the port inactive before it closes, so this only acts when
  // the device went away on its own (a USB adapter unplugged): the window must
  // not go on showing "Active" for a port that no longer exists.
  linkWaiting_ = false;
  if (ws_.Settings.PortActive != 1) return;
  if (analyzer_ != nullptr) analyzer_->Stop();
  ws_.Settings.PortActive = 0;
  view_.ShowPortState(false);
  if (OnPortGone) OnPortGone(PortGoneText(port));
}

std::string PortControl::PortGoneText(TCommPort port) {
  return TSerialPort::PortName(port) + " has gone away; the port is closed.";
}

void PortControl::ShowLink(const LinkStatus& link) {
  const std::string text = TSerialPort::PortName(serial_.Port()) + ": " + link.Text;
  view_.ShowLinkStatus(text);
  DebugLog(text);
}

void PortControl::Serial1PortLink(const LinkStatus& link) {
  // Events that arrive while CloseComm closes the port are not shown.
  if (ws_.Settings.PortActive != 1 && !linkWaiting_) return;
  ShowLink(link);
  // A request half received from a peer that has gone is dropped: the next
  // peer's first byte starts a request of its own.
  if (slave_ != nullptr) slave_->DropHeld();
  if (link.Up && ws_.Settings.PortActive != 1) {
    linkWaiting_ = false;
    ws_.Settings.PortActive = 1;
    view_.ShowPortState(true);
  } else if (!link.Up && ws_.Settings.PortActive == 1) {
    linkWaiting_ = true;
    ws_.Settings.PortActive = 0;
    view_.ShowPortState(false);
  }
}

void PortControl::AttachEngines(TSlave* slave, TMaster* master) {
  slave_ = slave;
  master_ = master;
}

void PortControl::OpenComm(int32_t Port, int32_t InputBuffer, int32_t OutputBuffer, int32_t Baud,
                           int32_t DataBits, int32_t ParityCode, int32_t StopBits) {
  serial_.Close();
  serial_.SetRs485(Rs485Settings{ws_.Run.Rs485, ws_.Run.Rs485DelayBeforeMs, ws_.Run.Rs485DelayAfterMs});
  // A number the component has no port for (a register file may hold any
  // value) must not wrap onto a real port: it selects no port at all, and
  // PortActivate then reports the connect error.
  serial_.SetPort(Port >= 1 && Port <= kMaxCommPort ? static_cast<TCommPort>(Port) : spNone);
  serial_.SetInputBuffer(InputBuffer < 0 ? 0u : static_cast<uint32_t>(InputBuffer));
  serial_.SetOutputBuffer(OutputBuffer < 0 ? 0u : static_cast<uint32_t>(OutputBuffer));
  serial_.SetBaudRate(TSerialPort::BaudRateFromValue(Baud));
  // Data bits first, then parity, then stop bits.
  if (DataBits == 7) serial_.SetDataWidth(dw7Bits);
  if (DataBits == 8) serial_.SetDataWidth(dw8Bits);
  switch (ParityCode) {
  case 0:
    serial_.SetParity(pbNone);
    break;
  case 1:
    serial_.SetParity(pbEven);
    break;
  case 2:
    serial_.SetParity(pbOdd);
    break;
  case 3:
    serial_.SetParity(pbMark);
    break;
  case 4:
    serial_.SetParity(pbSpace);
    break;
  default:
    break;
  }
  if (StopBits == 1) serial_.SetStopBits(sb1Bit);
  if (StopBits == 2) serial_.SetStopBits(sb2Bits);
  requestedPort_ = Port;
}

void PortControl::PortActivate() {
  serial_.SetEnableDTROnOpen(true);
  serial_.SetEnableRTSOnOpen(true);
  const std::string name = "COM" + IntToStr(requestedPort_);
  try {
    serial_.Open();
  } catch (const SerialError& e) {
    // Why it failed goes into the diagnostic log as well; the caller shows it
    // with the message.
    DebugLog(std::string(e.what()) + " " + e.Reason());
    throw;
  }
  // The component opens nothing for "no port" and does not complain.
  if (serial_.ConnectedPort() == spNone) {
    const SerialError error("Cannot connect to " + name + ".",
                            name + ": no such device (the ports are COM1 to COM99)");
    DebugLog(std::string(error.what()) + " " + error.Reason());
    throw error;
  }
  const PortInfo info = DescribePort(serial_.Ports(), requestedPort_, infoRoots_);
  LinkStatus link;
  const bool network = serial_.GetLinkStatus(link);
  // A peer of a network port may come at any moment: the analyzer listens
  // from the open on.
  StartAnalyzer(info, network);
  if (network) {
    ShowLink(link);
    if (!link.Up) {
      // Open, but nobody to talk to yet: the banner would go nowhere.
      linkWaiting_ = true;
      return;
    }
  }
  view_.ShowPortState(true);
  ws_.Settings.PortActive = 1;
  ReportPortDetail(name, info);
  // Written directly, not through SendCommStr: the monitors do not show it,
  // but it is on the line.
  const uint64_t start = serial_.NowMicros();
  const uint32_t written = serial_.SendString(kOpenBanner);
  AnalyzerSent(std::string(kOpenBanner, std::min<size_t>(written, sizeof kOpenBanner - 1)), start);
}

void PortControl::StartAnalyzer(const PortInfo& info, bool networkLink) {
  if (analyzer_ == nullptr) return;
  line::DecoderSettings settings = AnalyzerSettings(ws_);
  const LineTimingSource source{serial_.IsPseudoTerminal(), networkLink, info.LatencyTimerMs};
  const std::string note = TimingNote(source, settings);
  settings.TimingResolved = note.empty();
  analyzer_->Start(settings, serial_.OpenedAtUs(), note);
  RefreshUartErrors();
}

void PortControl::AnalyzerSent(const std::string& bytes, uint64_t startUs) {
  if (analyzer_ == nullptr || bytes.empty()) return;
  const line::DecoderSettings& s = analyzer_->Settings();
  const uint64_t us = TransmissionMicros(bytes.size(), s.Baud, s.Format);
  analyzer_->Sent(bytes, startUs, startUs + std::min(us, std::numeric_limits<uint64_t>::max() - startUs));
}

void PortControl::RefreshUartErrors() {
  UartCounters counts;
  UartErrorCounts u;
  if (serial_.UartErrors(counts)) {
    u.Reported = true;
    u.Framing = counts.Frame;
    u.Parity = counts.Parity;
    u.Overrun = counts.Overrun;
    u.Break = counts.Break;
    u.BufferOverrun = counts.BufferOverrun;
  }
  analyzer_->SetUartErrors(u);
}

void PortControl::ReportPortDetail(const std::string& name, const PortInfo& info) {
  std::string detail;
  if (!serial_.SettingsDifference().empty()) {
    detail = name + ": " + serial_.SettingsDifference();
    DebugLog(detail);
  }
  if (const std::string advice = LatencyAdvice(info); !advice.empty()) {
    DebugLog(name + " (" + info.Device + "): " + advice);
    detail += (detail.empty() ? name + ": " : "; ") + advice;
  }
  view_.ShowPortDetail(detail);
}

void PortControl::CloseComm(int32_t /*Port*/) {
  if (ws_.Settings.PortActive != 1 && !linkWaiting_) return;
  linkWaiting_ = false;
  // The port is still open, so the lines drop before the device closes. A
  // device that has gone away refuses the change; closing goes on regardless,
  // or the port could never be closed again.
  try {
    serial_.SetEnableDTROnOpen(false);
  } catch (const SerialError&) {
  }
  try {
    serial_.SetEnableRTSOnOpen(false);
  } catch (const SerialError&) {
  }
  view_.ShowPortState(false);
  ws_.Settings.PortActive = 0;
  // Chunks the reader still hands over while it stops reach the analyzer
  // first; then what is pending is framed.
  serial_.Close();
  if (analyzer_ != nullptr) analyzer_->Stop();
}

void PortControl::SendCommStr(int /*port*/, const std::string& frame) {
  if (ws_.Settings.PortActive == 1 && !frame.empty()) {
    const std::string notOpen = TSerialPort::PortName(serial_.Port()) + " is not open.";
    if (frame.size() > std::numeric_limits<uint32_t>::max()) throw SerialError(notOpen);
    const auto length = static_cast<uint32_t>(frame.size());
    uint32_t written = 0;
    // Stamped before the write: it returns once the kernel holds the bytes.
    const uint64_t start = serial_.NowMicros();
    try {
      written = serial_.SendBuffer(frame.data(), length);
    } catch (...) {
      // The exchange boundary holds even when the write fails.
      RecordSent(ws_, std::string());
      throw;
    }
    // A write that timed out part-way sent a broken frame: not a success,
    // though its first bytes are on the line.
    if (written < length) {
      AnalyzerSent(frame.substr(0, written), start);
      RecordSent(ws_, std::string());
      throw SerialError(notOpen);
    }
    AnalyzerSent(frame, start);
  }
  RecordSent(ws_, frame);
}

void PortControl::Serial1PortReceive(TSerialPort& sender, const std::string& buffer) {
  const auto n = static_cast<int32_t>(std::min<size_t>(buffer.size(), std::numeric_limits<int32_t>::max()));
  // Before the engines: the slave answers from inside its checker, and the
  // request must be framed before its reply.
  if (analyzer_ != nullptr) analyzer_->Received(buffer, sender.ReceivedStampUs());
  RecordReceived(ws_, buffer); // ReadCommStr
  if (IsMasterRole(ws_.Settings.IsMaster)) {
    if (master_ == nullptr) return;
    const int32_t s = FramesRtu(ws_.Settings.RtuMode) ? master_->MasterCheckRTU(n, buffer)
                                                      : master_->MasterCheckASCII(n, buffer);
    if (ws_.Cycle.MasterWrite == 1)
      view_.StatusDisplay(s, kWriteReplyPrefix);
    else
      view_.StatusDisplay(s, PollPrefix(ws_.Cycle.PollCounter));
    if (s == kStatusDataOk && ws_.Cycle.MasterWrite == 0) view_.DisplayRegs();
  } else {
    if (slave_ == nullptr) return;
    if (FramesRtu(ws_.Settings.RtuMode))
      slave_->CheckModbusRTU(n, buffer);
    else
      slave_->CheckModbusASCII(n, buffer);
  }
}

bool CheckReplyTimeout(Workspace& ws, TMaster& master, const TickSource& ticks, PortView& view) {
  if (master.AwaitingReply != 1 || !TickPassed(ticks.Now(), ws.Cycle.ReplyDeadline)) return false;
  master.AwaitingReply = 0;
  view.StatusDisplay(kStatusTimeOut, PollPrefix(ws.Cycle.PollCounter));
  return true;
}

void PortControl::Timer2Timer() {
  if (master_ != nullptr) CheckReplyTimeout(ws_, *master_, ticks_, view_);
  AnalyzerTimer();
}

void PortControl::AnalyzerTimer() {
  if (analyzer_ == nullptr || !analyzer_->Running()) return;
  analyzer_->Advance(serial_.NowMicros());
  RefreshUartErrors();
}

void PortControl::ApplySettingsAndOpen() {
  CloseComm(ws_.Settings.CommPort);
  if (ws_.Devices.ActiveSlot >= 1 && ws_.Devices.ActiveSlot <= kSlotCount)
    ws_.Devices.DeviceAddress = ws_.Devices.SlotAddress[static_cast<size_t>(ws_.Devices.ActiveSlot)];
  OpenComm(ws_.Settings.CommPort, kBufferSize, kBufferSize, ws_.Settings.BaudRate, ws_.Settings.DataBits,
           ParityCode(ws_.Settings.Parity), StopBitsArgument(ws_.Settings.StopBits));
  PortActivate();
  const int64_t interval = static_cast<int64_t>(ws_.Settings.PollTime) * 1000;
  view_.SetPollInterval(
      static_cast<int32_t>(std::clamp<int64_t>(interval, 0, std::numeric_limits<int32_t>::max())));
  view_.ModeDisplay();
  view_.DisplayRegs();
  view_.FillAddressSelector();
}

} // namespace korvane
