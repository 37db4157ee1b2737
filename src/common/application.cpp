#include "application.h"

#include "accessibility.h"

#include <QApplication>

// Static libraries need their resources pulled in by hand, from the global namespace.
static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace Application {

void setUp(QApplication &app)
{
    initResources();
    Accessibility::installFactory();
    QApplication::setApplicationName(QStringLiteral("kestrel"));
    QApplication::setApplicationVersion(versionText());
    QApplication::setWindowIcon(icon());
    app.setQuitOnLastWindowClosed(true);
}

QIcon icon()
{
    return QIcon(QStringLiteral(":/kestrel.png"));
}

QString versionText()
{
    return QStringLiteral("%1.%2.%3")
        .arg(KESTREL_VERSION_MAJOR)
        .arg(KESTREL_VERSION_MINOR)
        .arg(KESTREL_VERSION_PATCH);
}

} // namespace Application
