// The windows on a real X display (an Xvfb of the test's own): a second X
// client takes the input focus and gives it back, as when the user goes to a
// terminal and returns. Such a return is no activation of the program's
// window: the Communication Monitor keeps its ticked boxes and its text, the
// Modbus Communications window leaves recording as it is, the configuration
// dialog keeps what was typed. Coming from another window of the program
// still runs each window's activation step.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QWidget>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "app/ui/application.h"
#include "app/ui/main_form.h"
#include "config/ui/config_form.h"
#include "monitor/core/monitor_buffers.h"
#include "monitor/ui/comms_form.h"
#include "monitor/ui/frm_comms_modbus.h"
#include "support/qt_test_support.h"
#include "support/x11_session.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;

// The X server and the program's application object on it, for the whole
// test program (Qt takes its platform when the application object is made).
class XDisplayEnvironment final : public ::testing::Environment {
public:
  void SetUp() override {
    server_ = std::make_unique<test::XvfbServer>();
    if (server_->Display().empty()) return;
    ::setenv("DISPLAY", server_->Display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    argv_[0] = name_;
    app_ = std::make_unique<KorvaneApplication>(argc_, argv_);
  }
  void TearDown() override {
    app_.reset();
    server_.reset();
  }
  const test::XvfbServer& Server() const { return *server_; }

private:
  std::unique_ptr<test::XvfbServer> server_;
  char name_[22] = "window_return_ui_test";
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  std::unique_ptr<KorvaneApplication> app_;
};

XDisplayEnvironment* const kDisplay =
    static_cast<XDisplayEnvironment*>(::testing::AddGlobalTestEnvironment(new XDisplayEnvironment));

// The program's windows wired as at start-up, the main window shown.
class WindowReturnTest : public ::testing::Test, public test::CapturedMessages {
protected:
  void SetUp() override {
    const test::XvfbServer& server = kDisplay->Server();
    if (server.Display().empty()) {
      if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << server.Error();
      FAIL() << server.Error();
    }
    focus = std::make_unique<test::FocusClient>(server.Display());
    ASSERT_TRUE(focus->Connected()) << "second X client on " << server.Display();
    ws = MakeWorkspace();
    main = std::make_unique<TMainForm>(*ws, ticks);
    config = std::make_unique<TConfigForm>(*ws);
    comms = std::make_unique<TCommsForm>(*ws);
    modbus = std::make_unique<TFrmCommsModbus>(*ws);
    main->AttachWindows(config.get(), comms.get(), modbus.get());
    main->show();
    ASSERT_TRUE(WaitUntil([this] { return focus->Viewable(focus->OwnWindow()); }))
        << "the other client's window";
  }
  void TearDown() override {
    modbus.reset();
    comms.reset();
    config.reset();
    main.reset();
    focus.reset();
  }

  // Pumps Qt's events until `done` holds; false when 10 s pass first.
  static bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
  }
  // The focus moves to `w`, a window of the program, as when the user clicks
  // it; true once the program has made it its active window.
  bool FocusOn(QWidget* w) {
    const auto id = static_cast<xcb_window_t>(w->winId());
    return WaitUntil([&] { return focus->Viewable(id); }) && focus->SetFocus(id) &&
           WaitUntil([w] { return QApplication::activeWindow() == w; });
  }
  // The other client takes the focus; true once the program has no active window.
  bool FocusAway() {
    return focus->SetFocus(focus->OwnWindow()) &&
           WaitUntil([] { return QApplication::activeWindow() == nullptr; });
  }

  FakeTickSource ticks{1000};
  std::unique_ptr<test::FocusClient> focus;
  std::unique_ptr<Workspace> ws;
  std::unique_ptr<TMainForm> main;
  std::unique_ptr<TConfigForm> config;
  std::unique_ptr<TCommsForm> comms;
  std::unique_ptr<TFrmCommsModbus> modbus;
};

TEST_F(WindowReturnTest, ReturnFromAnotherApplicationIsNoActivation) {
  struct Case {
    const char* name;
    QWidget* window;
    // Run with the window active: leaves what an activation step would undo.
    std::function<void()> prepare;
    // True while that is still there.
    std::function<bool()> kept;
  };
  auto checked = [this](QWidget* w, const char* name) {
    return test::Child<QCheckBox>(w, name)->isChecked();
  };
  const Case cases[] = {
      {"Communication Monitor", comms.get(),
       [&] {
         test::Child<QCheckBox>(comms.get(), "ChkTx")->click();
         test::Child<QCheckBox>(comms.get(), "ChkRx")->click();
         RecordSent(*ws, "\x01");
         ws->Settings.PortActive = 1;
         RecordReceived(*ws, "\x02");
         ws->Settings.PortActive = 0;
       },
       [&] {
         return checked(comms.get(), "ChkTx") && checked(comms.get(), "ChkRx") &&
                ws->Monitor.MonitorTxOn == 1 && ws->Monitor.MonitorRxOn == 1 &&
                ws->Monitor.MonitorText == "[01][02]";
       }},
      {"Modbus Communications", modbus.get(),
       [&] {
         // Recording switched off behind the window, so that its step would show.
         ws->Monitor.MonitorTxOn = 0;
         ws->Monitor.MonitorRxOn = 0;
       },
       [&] { return ws->Monitor.MonitorTxOn == 0 && ws->Monitor.MonitorRxOn == 0; }},
      {"Configuration", config.get(),
       [&] {
         test::Child<QLineEdit>(config.get(), "TxtPollTime")->setText("29");
         test::Child<QRadioButton>(config.get(), "OptAddr5")->setChecked(true);
       },
       [&] {
         return test::Child<QLineEdit>(config.get(), "TxtPollTime")->text() == "29" &&
                test::Child<QRadioButton>(config.get(), "OptAddr5")->isChecked();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Shown from the main window, as its menu does.
    ASSERT_TRUE(FocusOn(main.get()));
    c.window->show();
    ASSERT_TRUE(FocusOn(c.window));
    c.prepare();
    ASSERT_TRUE(c.kept());

    // To another application and back.
    ASSERT_TRUE(FocusAway());
    ASSERT_TRUE(FocusOn(c.window));
    EXPECT_TRUE(c.kept()) << "coming back from another application ran the activation step";

    // To the main window and back: that is an activation.
    ASSERT_TRUE(FocusOn(main.get()));
    ASSERT_TRUE(FocusOn(c.window));
    EXPECT_FALSE(c.kept()) << "coming back from the main window did not run the activation step";
    c.window->hide();
  }
  // What the steps did when they ran.
  EXPECT_FALSE(checked(comms.get(), "ChkTx"));
  EXPECT_EQ(ws->Monitor.MonitorText, "");
  EXPECT_EQ(test::Child<QLineEdit>(config.get(), "TxtPollTime")->text().toStdString(),
            std::to_string(ws->Settings.PollTime));
  EXPECT_TRUE(messages.empty()) << messages.front();
}

} // namespace
} // namespace korvane
