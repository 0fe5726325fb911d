#pragma once
// The one place where the windows show a message to the user. Every warning
// box and the application's default error handler go through here, so that a
// headless run (or a test) can take the texts instead of a modal box.
#include <exception>
#include <functional>
#include <string>

namespace korvane {

// Receives the text of each message instead of a box being shown.
using MessageSink = std::function<void(const std::string& text)>;

// Routes every later message to `sink`; an empty sink restores the boxes.
// Returns the sink that was in place.
MessageSink SetMessageSink(MessageSink sink);

// A warning box with the single button OK (modal: returns when it is closed).
// A `reason`, when not empty, is the box's second part, under the text; a sink
// gets it as a second line of the same message.
void ShowMessage(const std::string& text, const std::string& reason = {});

// The default error handler: shows the exception's text as ShowMessage does,
// with the reason a serial error carries.
void ShowError(const std::exception& e);

// Runs `handler` and shows whatever it throws; nothing escapes. Every window
// handler connected to a Qt signal runs through this, so no exception crosses
// Qt's event dispatch.
template <class F> void Guarded(F&& handler) noexcept {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowError(e);
  } catch (...) {
    ShowMessage("Unexpected error");
  }
}

} // namespace korvane
