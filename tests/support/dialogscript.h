#pragma once

#include "dialogs.h"

#include <QList>
#include <QString>

// Answers the program's boxes in order while it lives, and records every box that was shown.
// A box asked for after the script has run out is recorded in unexpected() and answered as the
// user closing it would (Cancel, or the empty string); tests check unexpected() is empty. A
// window that keeps asking once the script is spent (a question repeated on Cancel) ends the
// test run at once instead of hanging it.
class DialogScript final
{
    Q_DISABLE_COPY_MOVE(DialogScript)

public:
    DialogScript();
    ~DialogScript();

    // Queue answers, in the order the boxes will be shown. ok() on an input box accepts its
    // default answer unedited.
    DialogScript &ok();
    DialogScript &cancel();
    DialogScript &type(const QString &text); // input box answered with OK and this text

    const QList<Dialogs::Request> &asked() const { return m_asked; }
    QStringList askedTexts() const;
    // Every box shown, each as one text: an input box's prompt with its default answer,
    // "Host Port ? [555]"; a message with OK and Cancel marked so, "Close ? (OK, Cancel)"; a
    // message with OK alone as its bare text.
    QStringList boxes() const;
    const QList<Dialogs::Request> &unexpected() const { return m_unexpected; }
    qsizetype pending() const { return m_answers.size(); }

private:
    Dialogs::Answer answer(const Dialogs::Request &request);

    struct Queued
    {
        Dialogs::Answer answer;
        bool typed = false;
    };
    QList<Queued> m_answers;
    QList<Dialogs::Request> m_asked;
    QList<Dialogs::Request> m_unexpected;
};
