// Start-up of the main program.
#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "app/core/tick.h"
#include "app/core/trace_file.h"
#include "app/core/workspace.h"
#include "app/ui/application.h"
#include "app/ui/command_line.h"
#include "app/ui/headless.h"
#include "app/ui/main_form.h"
#include "app/ui/message_box.h"
#include "app/ui/qt_invoker.h"
#include "config/core/register_file.h"
#include "config/ui/config_form.h"
#include "help/core/startup_probe.h"
#include "modbus/core.h"
#include "modbus/master.h"
#include "modbus/slave.h"
#include "monitor/core/line_analyzer.h"
#include "monitor/ui/comms_form.h"
#include "monitor/ui/frm_comms_modbus.h"
#include "monitor/ui/frm_line_analyzer.h"
#include "serial/control/port_control.h"
#include "serial/port_info.h"
#include "serial/port_map.h"
#include "serial/serial_port.h"

namespace {

// True when Qt can show a window here: an X or Wayland display, or a platform
// chosen explicitly (offscreen for tests).
bool DisplayAvailable() {
  const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
  for (const char* n : names) {
    const char* v = std::getenv(n);
    if (v != nullptr && *v != '\0') return true;
  }
  return false;
}

} // namespace

int main(int argc, char** argv) {
  const korvane::ParseOutcome parsed =
      korvane::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.Error.empty()) {
    std::fprintf(stderr, "korvane: %s\n%s", parsed.Error.c_str(), korvane::UsageText().c_str());
    return 2;
  }
  const korvane::CommandLine& cmd = parsed.Line;
  if (cmd.Help) {
    std::fputs(korvane::UsageText().c_str(), stdout);
    return 0;
  }
  if (cmd.Version) {
    std::printf("%s\n", korvane::VersionText().c_str());
    return 0;
  }
  for (const auto& [number, device] : cmd.Ports) korvane::SetPortOverride(number, device);
  if (cmd.ListPorts) {
    std::fputs(korvane::PortListText(korvane::ListPorts(korvane::DefaultPortMap())).c_str(), stdout);
    return 0;
  }

  if (cmd.Headless) {
    // The same windows exist, drawn nowhere.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  } else if (!DisplayAvailable()) {
    std::fprintf(stderr, "korvane: no display found (set DISPLAY, or start it with --headless)\n");
    return 1;
  }
  korvane::InitHelpSystem(argc, argv);
  korvane::KorvaneApplication app(argc, argv);
  QCoreApplication::setApplicationName("Korvane");
  if (cmd.Headless)
    korvane::SetMessageSink([](const std::string& text) {
      std::fprintf(stderr, "%s\n", text.c_str());
      std::fflush(stderr);
    });
  // Help failures are shown through the program's own message-box edge (standard
  // error when headless). A file that reaches the size limit fails its write
  // instead of killing the process.
  korvane::HelpEnv().ShowMessage = [](const std::string&, const std::string& text) {
    korvane::ShowMessage(text);
  };
  std::signal(SIGXFSZ, SIG_IGN);
  // The trace opens before the exit signals are caught: a FIFO blocks its
  // opening until a reader comes, and SIGINT or SIGTERM must still end that
  // wait. Its reader may go away at any time: EPIPE ends the trace, not the
  // program.
  korvane::TraceFile trace;
  bool traceFailed = false;
  if (cmd.Trace) {
    std::signal(SIGPIPE, SIG_IGN);
    std::string reason;
    if (!trace.Open(*cmd.Trace, reason)) {
      korvane::ShowMessage("Cannot write the trace file " + *cmd.Trace + ".", reason);
      traceFailed = true;
    }
  }
  korvane::ExitSignals exitSignals;
  if (!exitSignals.Ok()) std::fprintf(stderr, "korvane: %s\n", exitSignals.Error().c_str());

  // The one workspace, before any module; every module gets it by reference.
  auto ws = korvane::MakeWorkspace();
  korvane::TickSource& ticks = korvane::SystemTicks();
  korvane::QtEventInvoker invoker;
  korvane::TSerialPort Serial1(invoker);

  // The modules, once each, in this order. The main window comes first and
  // must not use the later ones; they are handed to it after they exist.
  korvane::TMainForm MainForm(*ws, ticks);
  korvane::PortControl portControl(*ws, Serial1, ticks, MainForm);
  korvane::TSlave Slave(*ws, portControl, ticks);
  korvane::TCore Core;
  korvane::TConfigForm ConfigForm(*ws);
  korvane::TMaster Master(*ws, portControl, ticks);
  korvane::TCommsForm CommsForm(*ws);
  korvane::TFrmCommsModbus FrmCommsModbus(*ws);
  korvane::LineAnalyzer analyzer;
  korvane::TFrmLineAnalyzer FrmLineAnalyzer(*ws, analyzer);
  portControl.AttachEngines(&Slave, &Master);
  portControl.AttachAnalyzer(&analyzer);
  if (trace.IsOpen())
    analyzer.Listeners.push_back([&trace, path = *cmd.Trace](const korvane::line::Frame& frame) {
      // Said once, on standard error: a box here would stop the line.
      if (trace.IsOpen() && !trace.Write(frame))
        std::fprintf(stderr, "korvane: %s: %s; the trace has stopped\n", path.c_str(), trace.Error().c_str());
    });
  MainForm.AttachMaster(&Master);
  MainForm.AttachPortControl(&portControl);
  MainForm.AttachWindows(&ConfigForm, &CommsForm, &FrmCommsModbus, &FrmLineAnalyzer);
  ConfigForm.Attach(&MainForm, &portControl);
  (void)Core;
  // Closing the main window ends the program, whatever else is open.
  for (QWidget* w : {static_cast<QWidget*>(&ConfigForm), static_cast<QWidget*>(&CommsForm),
                     static_cast<QWidget*>(&FrmCommsModbus), static_cast<QWidget*>(&FrmLineAnalyzer)})
    w->setAttribute(Qt::WA_QuitOnClose, false);
  if (cmd.Headless) {
    MainForm.SetStatusListener(korvane::PrintStatusLine);
    MainForm.SetPortDetailListener([](const std::string& detail) {
      std::fprintf(stderr, "%s\n", detail.c_str());
      std::fflush(stderr);
    });
    // Nobody sees the port label: the loss of the device is said once.
    portControl.OnPortGone = [](const std::string& text) {
      std::fprintf(stderr, "%s\n", text.c_str());
      std::fflush(stderr);
    };
  }
  ws->Run.Rs485 = cmd.Rs485;
  ws->Run.Rs485DelayBeforeMs = cmd.Rs485DelayBeforeMs;
  ws->Run.Rs485DelayAfterMs = cmd.Rs485DelayAfterMs;
  ws->Run.ListenOnly = cmd.Listen;
  // The mode line was drawn with the window, before the run's options.
  MainForm.ModeDisplay();

  // Nobody can answer a message without a window: a start that fails ends a
  // headless run with status 1; with a window the user has seen the message.
  bool started = !(traceFailed && cmd.Headless);
  if (started && !cmd.File.empty()) {
    // FILE is read as "&Load" reads it.
    try {
      MainForm.LoadRegisterFileFrom(cmd.File);
    } catch (const std::exception& e) {
      korvane::ShowError(e);
      started = !cmd.Headless;
    }
  }
  if (started && cmd.Open) {
    try {
      portControl.ApplySettingsAndOpen();
    } catch (const std::exception& e) {
      korvane::ShowError(e);
      started = !cmd.Headless;
    }
  }

  int status = 1;
  if (started) {
    if (!cmd.Headless) MainForm.show();
    status = QApplication::exec();
  }
  portControl.CloseComm(ws->Settings.CommPort);
  if (started && cmd.SaveOnExit) {
    try {
      korvane::SaveRegisterFile(*ws, *cmd.SaveOnExit);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "korvane: %s: %s\n", cmd.SaveOnExit->c_str(), e.what());
      status = 1;
    }
  }
  return status;
}
