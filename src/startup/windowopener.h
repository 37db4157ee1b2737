#pragma once

#include "dispatch.h"

class QWidget;

// The one place a window of the program is opened, for the start-up routine and the chooser
// alike: created as a new instance, then shown modeless and without an owner, deleting itself
// when closed.
namespace WindowOpener {

// A new window for the mode (Chooser, Server, Client or Udp); its initialisation runs.
// nullptr for the modes that open no window.
QWidget *create(ModuleMain::Mode mode);
// Shows a window that create() made; its load work runs inside, before it appears.
void show(QWidget *window);

} // namespace WindowOpener
