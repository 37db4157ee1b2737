#include "modulemain.h"

#include "commandline.h"
#include "dialogs.h"
#include "dispatch.h"
#include "windowopener.h"

namespace ModuleMain {

QWidget *startUp(const QString &argumentText)
{
    QStringList tokens;
    CommandLine::SplitCommandLine(tokens, argumentText);

    const Mode mode = modeFor(tokens);
    if (mode == Mode::Help) {
        Dialogs::messageBox(helpText(), Dialogs::Buttons::Ok);
        return nullptr;
    }
    QWidget *window = WindowOpener::create(mode);
    if (window)
        WindowOpener::show(window);
    return window;
}

} // namespace ModuleMain
