#pragma once

// Test support for windows: scripted answers to the program's boxes and a fixed clock.

#include "dialogs.h"

#include <QAction>
#include <QPointer>
#include <QStringList>
#include <QWidget>

// The window's object called name (its parts go by the names of the program's design).
template <class T = QWidget> T *part(const QObject *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}
inline void trigger(const QObject *window, const char *name)
{
    part<QAction>(window, name)->trigger();
}
// A window of type W, shown, that deletes itself when closed.
template <class W> QPointer<W> shown()
{
    QPointer<W> window = new W;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}

// Answers the program's boxes in order and records each: "prompt [default]", "text (OK,
// Cancel)" or the text. Boxes past the script are answered Cancel and kept in unexpected.
class DialogScript final
{
public:
    DialogScript();
    ~DialogScript() { Dialogs::setResponderForTesting({}); }
    DialogScript &ok() { return queue(true, QString()); } // an input box keeps its default
    DialogScript &cancel() { return queue(false, QString()); }
    DialogScript &type(const QString &text) { return queue(true, text.isNull() ? "" : text); }

    QStringList boxes;
    QStringList unexpected;
    std::function<void()> onNextBox; // runs inside the next box, before it is answered

private:
    DialogScript &queue(bool accepted, const QString &text);
    QList<std::pair<bool, QString>> m_answers; // accepted, typed text (null: the default)
};

// While it lives, date and time read "2000/06/12" and "9:05:07" (Japanese locale).
class FixedClock final
{
public:
    FixedClock();
    ~FixedClock();
};
