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

    if (!ModuleMain::startUp(CommandLine::argumentText(QApplication::arguments().mid(1))))
        return 0;
    return QApplication::exec();
}
