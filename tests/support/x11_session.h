#pragma once
// A real X display for window tests: an Xvfb of the test's own, on a display
// number the server picks itself, and a second X client that moves the input
// focus the way a window manager or another application would (Xvfb has no
// window manager). Header-only; a test that includes it links libxcb.
#include <signal.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "install/child_process.h"

namespace korvane::test {

class XvfbServer {
public:
  // Starts the server and waits (bounded) until it names its display.
  XvfbServer() : errFile_(ErrFileName()) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
      error_ = "/usr/bin/Xvfb is missing (Debian package xvfb)";
      return;
    }
    // -noreset: the server stays up between its clients.
    server_ = std::make_unique<korvane::testing::ChildProcess>(
        std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp",
                                 "-screen", "0", "1024x768x24"},
        std::vector<std::string>{}, errFile_);
    const std::optional<std::string> number = server_->ReadLine(std::chrono::seconds(20));
    if (!number || number->empty()) {
      error_ = "Xvfb did not start: " + server_->Err();
      return;
    }
    display_ = ":" + *number;
  }
  ~XvfbServer() {
    if (server_ && server_->Started()) {
      // Ended gently, so it removes its socket and lock file.
      kill(server_->Pid(), SIGTERM);
      server_->Wait(std::chrono::seconds(5));
    }
    server_.reset();
    unlink(errFile_.c_str());
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", or empty when the server did not start (Error says why).
  const std::string& Display() const { return display_; }
  const std::string& Error() const { return error_; }

private:
  static std::string ErrFileName() {
    char name[] = "/tmp/korvane-xvfb-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    return name;
  }

  std::string errFile_;
  std::unique_ptr<korvane::testing::ChildProcess> server_;
  std::string display_;
  std::string error_;
};

// A second client on the display, with a small window of its own.
class FocusClient {
public:
  explicit FocusClient(const std::string& display) {
    c_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c_) != 0) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK, &mask);
    xcb_map_window(c_, window_);
    xcb_flush(c_);
  }
  ~FocusClient() {
    if (c_ != nullptr) xcb_disconnect(c_);
  }
  FocusClient(const FocusClient&) = delete;
  FocusClient& operator=(const FocusClient&) = delete;

  bool Connected() const { return xcb_connection_has_error(c_) == 0; }
  xcb_window_t OwnWindow() const { return window_; }

  // Whether `w` is mapped and all its ancestors are (focus can only go there).
  bool Viewable(xcb_window_t w) {
    xcb_get_window_attributes_reply_t* r =
        xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr);
    const bool viewable = r != nullptr && r->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(r);
    return viewable;
  }
  // Gives the input focus to `w`, as a window manager does when the user
  // clicks a window; the round trip makes sure the server has done it.
  bool SetFocus(xcb_window_t w) {
    xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, w, XCB_CURRENT_TIME);
    return Focus() == w;
  }
  // The window that holds the input focus now.
  xcb_window_t Focus() {
    xcb_get_input_focus_reply_t* r = xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr);
    const xcb_window_t w = r != nullptr ? r->focus : XCB_NONE;
    std::free(r);
    return w;
  }

private:
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = XCB_NONE;
};

} // namespace korvane::test
