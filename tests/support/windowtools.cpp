#include "windowtools.h"

#include "datetimetexts.h"
#include "logpane.h"

#include <QAction>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>

void triggerAction(QWidget *window, const char *name)
{
    auto *action = window->findChild<QAction *>(QString::fromLatin1(name));
    if (!action)
        qFatal("%s has no action %s", window->metaObject()->className(), name);
    action->trigger();
}

LogPane *logOf(QWidget *window)
{
    auto *pane = window->findChild<LogPane *>(QStringLiteral("TextLog"));
    if (!pane)
        qFatal("%s has no TextLog", window->metaObject()->className());
    return pane;
}

QRect areaUnderMenuBar(const QMainWindow *window)
{
    const QMenuBar *bar = window->menuBar();
    const int top = bar->isVisible() ? bar->geometry().bottom() + 1 : 0;
    return QRect(0, top, window->width(), qMax(0, window->height() - top));
}

QPoint offCentre(const QWidget *window)
{
    return window->geometry().center() - window->screen()->availableGeometry().center();
}

FixedClock::FixedClock(const QDateTime &now) : m_now(now)
{
    DateTimeTexts::setClockForTesting([this] { return m_now; },
                                      QLocale(QLocale::Japanese, QLocale::Japan));
}

FixedClock::~FixedClock()
{
    DateTimeTexts::setClockForTesting({});
}
