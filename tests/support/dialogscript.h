#pragma once

#include "common/dialogs.h"

#include <QList>
#include <QString>

// Answers the program's boxes in order while it lives, and records every box that was shown.
// A box asked for after the script has run out is recorded in unexpected() and answered as the
// user closing it would (Cancel, or the empty string); tests check unexpected() is empty.
class DialogScript final
{
    Q_DISABLE_COPY_MOVE(DialogScript)

public:
    DialogScript();
    ~DialogScript();

    // Queue answers, in the order the boxes will be shown.
    DialogScript &ok();
    DialogScript &cancel();
    DialogScript &type(const QString &text); // input box answered with OK and this text

    const QList<Dialogs::Request> &asked() const { return m_asked; }
    QStringList askedTexts() const;
    const QList<Dialogs::Request> &unexpected() const { return m_unexpected; }
    qsizetype pending() const { return m_answers.size(); }

private:
    Dialogs::Answer answer(const Dialogs::Request &request);

    QList<Dialogs::Answer> m_answers;
    QList<Dialogs::Request> m_asked;
    QList<Dialogs::Request> m_unexpected;
};
