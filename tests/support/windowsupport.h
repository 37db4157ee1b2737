#pragma once

// Test support for windows: scripted answers to the program's boxes and a fixed clock.

#include "dialogs.h"

#include <QStringList>

// Answers the program's boxes in order while it lives and records each one: an input box as
// "prompt [default]", a message with OK and Cancel as "text (OK, Cancel)", else its text. A box
// asked after the script has run out is answered with Cancel and also kept in unexpected.
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

// While it lives the clock stands at 2000-06-12 9:05:07 and reads in the Japanese locale, so
// date and time texts are "2000/06/12" and "9:05:07".
class FixedClock final
{
public:
    FixedClock();
    ~FixedClock();
};
