#pragma once
// Small widget factories and conversions the windows share.
#include <QString>

#include <string>

#include "app/ui/message_box.h"

class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QWidget;

namespace korvane {

// Texts between the core (UTF-8 std::string) and Qt.
QString Q(const std::string& s);
std::string S(const QString& s);

// Gives `widget` its object name and returns it.
template <class W> W* Named(W* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

// A push button without auto-default: Return in an edit of a dialog does not
// press it.
QPushButton* Button(const char* name, const char* caption);
// A line edit of fixed width.
QLineEdit* Edit(const char* name, int width, const char* text = "");
// Selectors are editable: the user may pick an item or type any text.
QComboBox* Combo(const char* name, int width);
// A group box with its caption.
QGroupBox* Group(const char* name, const char* caption);

// F1 in `window` opens the help at page `contextId`.
void AddHelpKey(QWidget* window, int contextId);

// A slot that runs `form`'s handler through Guarded, so that what the handler
// throws is shown and never passed on into Qt's event dispatch.
template <class Form> auto GuardedSlot(Form* form, void (Form::*handler)()) {
  return [form, handler] { Guarded([&] { (form->*handler)(); }); };
}

} // namespace korvane
