#include "windowopener.h"

#include "formmain.h"
#include "formtcpclientmain.h"
#include "formtcpservermain.h"
#include "formudpmain.h"

#include <QWidget>

namespace WindowOpener {

QWidget *create(ModuleMain::Mode mode)
{
    switch (mode) {
    case ModuleMain::Mode::Chooser:
        return new FormMain({&create, &show});
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
