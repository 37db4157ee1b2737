#include "application.h"
#include "commandline.h"
#include "fdlimit.h"
#include "modulemain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // A chat server may hold thousands of connections: take every descriptor the system allows.
    FdLimit::raiseOpenFileLimit();

    QApplication app(argc, argv);
    Application::setUp(app);

    CommandLine::setArgumentText(CommandLine::argumentText(QApplication::arguments().mid(1)));
    if (!ModuleMain::startUp())
        return 0;
    return QApplication::exec();
}
