#pragma once

class QString;
class QWidget;

namespace ModuleMain {

// The start-up routine: splits the program's argument text (CommandLine::argumentText) and
// opens one window or the help box. Returns the window it opened (shown, modeless, owned by
// nobody: it deletes itself when closed), or nullptr when it opened none.
QWidget *startUp(const QString &argumentText);

} // namespace ModuleMain
