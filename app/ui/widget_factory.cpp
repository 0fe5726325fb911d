#include "app/ui/widget_factory.h"

#include <QComboBox>
#include <QGroupBox>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QWidget>

#include "help/core/help_hook.h"

namespace korvane {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

QPushButton* Button(const char* name, const char* caption) {
  auto* b = Named(new QPushButton(caption), name);
  b->setAutoDefault(false);
  return b;
}

QLineEdit* Edit(const char* name, int width, const char* text) {
  auto* e = Named(new QLineEdit(text), name);
  e->setFixedWidth(width);
  return e;
}

QComboBox* Combo(const char* name, int width) {
  auto* c = Named(new QComboBox, name);
  c->setEditable(true);
  c->setInsertPolicy(QComboBox::NoInsert);
  c->setFixedWidth(width);
  return c;
}

QGroupBox* Group(const char* name, const char* caption) { return Named(new QGroupBox(caption), name); }

void AddHelpKey(QWidget* window, int contextId) {
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), window);
  QObject::connect(help, &QShortcut::activated, window,
                   [contextId] { Guarded([contextId] { ShowHelpContext(contextId); }); });
}

} // namespace korvane
