#pragma once

#include "windowmode.h"

#include <QString>
#include <QStringList>

namespace ModuleMain {

using Mode = WindowMode;

// What the start-up does for a token list: no tokens opens the chooser; otherwise the first
// token, lower-cased, must equal "/s", "/c", "/u" or "/?" exactly; anything else does nothing.
Mode modeFor(const QStringList &tokens);

// The help box's five lines, joined by CR LF.
QString helpText();

} // namespace ModuleMain
