#pragma once

#include <QIcon>

class QApplication;

namespace Application {

// Title "kestrel", the shared icon, and an end when the last window closes.
void setUp(QApplication &app);
// The 16 by 16 icon every window carries.
QIcon icon();
// "major.minor.revision" as built.
QString versionText();

} // namespace Application
