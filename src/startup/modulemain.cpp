#include "modulemain.h"

#include "chooser/formmain.h"
#include "commandline.h"
#include "common/dialogs.h"
#include "dispatch.h"
#include "tcpclient/formtcpclientmain.h"
#include "tcpserver/formtcpservermain.h"
#include "udp/formudpmain.h"

namespace ModuleMain {

QWidget *startUp()
{
    QStringList tokens;
    CommandLine::SplitCommandLine(tokens);

    QWidget *window = nullptr;
    switch (modeFor(tokens)) {
    case Mode::Chooser:
        window = new FormMain;
        break;
    case Mode::Server:
        window = new FormTCPServerMain;
        break;
    case Mode::Client:
        window = new FormTCPClientMain;
        break;
    case Mode::Udp:
        window = new FormUDPMain;
        break;
    case Mode::Help:
        Dialogs::messageBox(helpText(), Dialogs::Buttons::Ok);
        return nullptr;
    case Mode::Nothing:
        return nullptr;
    }
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}

} // namespace ModuleMain
