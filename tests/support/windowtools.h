#pragma once

#include <QDateTime>
#include <QPoint>
#include <QRect>

class LogPane;
class QMainWindow;
class QWidget;

// Triggers the window's QAction of that objectName, as choosing the menu item does. A name the
// window lacks ends the test run: the test no longer matches the window.
void triggerAction(QWidget *window, const char *name);

// The window's log pane, "TextLog"; ends the test run when there is none.
LogPane *logOf(QWidget *window);

// The rectangle below the menu bar, in window coordinates: what a main window's inner area
// must fill.
QRect areaUnderMenuBar(const QMainWindow *window);

// How far the window's centre lies from the centre of its screen's available area.
QPoint offCentre(const QWidget *window);

// A clock that only moves when told, read in the Japanese locale whose short forms
// ("2000/06/12", "9:05:07") the tests' expected texts use. The system's clock comes back when
// it goes.
class FixedClock final
{
    Q_DISABLE_COPY_MOVE(FixedClock)

public:
    explicit FixedClock(const QDateTime &now);
    ~FixedClock();

    void advance(int seconds) { m_now = m_now.addSecs(seconds); }

private:
    QDateTime m_now;
};
