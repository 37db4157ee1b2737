#include "dialogscript.h"

DialogScript::DialogScript()
{
    Dialogs::setResponderForTesting([this](const Dialogs::Request &r) { return answer(r); });
}

DialogScript::~DialogScript()
{
    Dialogs::setResponderForTesting({});
}

DialogScript &DialogScript::ok()
{
    m_answers.append({Dialogs::Reply::Ok, {}});
    return *this;
}

DialogScript &DialogScript::cancel()
{
    m_answers.append({Dialogs::Reply::Cancel, {}});
    return *this;
}

DialogScript &DialogScript::type(const QString &text)
{
    m_answers.append({Dialogs::Reply::Ok, text});
    return *this;
}

QStringList DialogScript::askedTexts() const
{
    QStringList texts;
    for (const Dialogs::Request &request : m_asked)
        texts.append(request.text);
    return texts;
}

Dialogs::Answer DialogScript::answer(const Dialogs::Request &request)
{
    m_asked.append(request);
    if (m_answers.isEmpty()) {
        m_unexpected.append(request);
        return {Dialogs::Reply::Cancel, {}};
    }
    return m_answers.takeFirst();
}
