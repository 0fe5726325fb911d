#pragma once
// Which window of the program is its active one. Qt reports an activation each
// time a window gets the focus, also when the user comes back to it from
// another application (a terminal, the help viewer); the windows' own
// activation steps run only when the program's active window changes.
class QWidget;

namespace korvane {

// Starts watching the activations of the program's windows; once per
// application object, before its first window is shown. Later calls do nothing.
void WatchWindowActivation();

// For `window` while it handles its QEvent::WindowActivate: true when it
// becomes the program's active window anew - another window of the program
// was active last, or `window` has been hidden since it was active. False when
// the user comes back to it from another application.
bool ActivatedFromAnotherWindow(const QWidget* window);

} // namespace korvane
