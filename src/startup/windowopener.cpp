#include "windowopener.h"

#include "formmain.h"
#include "formtcpclientmain.h"
#include "formtcpservermain.h"
#include "formudpmain.h"

#include <QWidget>

namespace {

// The chooser's mode buttons, by their index in btnChoise.
ModuleMain::Mode modeOfButton(int Index)
{
    switch (Index) {
    case 1:
        return ModuleMain::Mode::Server;
    case 2:
        return ModuleMain::Mode::Client;
    case 3:
        return ModuleMain::Mode::Udp;
    default:
        return ModuleMain::Mode::Nothing;
    }
}

} // namespace

namespace WindowOpener {

QWidget *create(ModuleMain::Mode mode)
{
    switch (mode) {
    case ModuleMain::Mode::Chooser:
        return new FormMain({[](int Index) { return create(modeOfButton(Index)); }, &show});
    case ModuleMain::Mode::Server:
        return new FormTCPServerMain;
    case ModuleMain::Mode::Client:
        return new FormTCPClientMain;
    case ModuleMain::Mode::Udp:
        return new FormUDPMain;
    case ModuleMain::Mode::Help:
    case ModuleMain::Mode::Nothing:
        break;
    }
    return nullptr;
}

void show(QWidget *window)
{
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
}

} // namespace WindowOpener
