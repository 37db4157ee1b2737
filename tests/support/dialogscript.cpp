#include "dialogscript.h"

#include <QtGlobal>

namespace {

// More boxes than any test answers: the window is asking in a loop.
constexpr qsizetype kRunawayLimit = 1000;

} // namespace

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
    m_answers.append({{Dialogs::Reply::Ok, {}}, false});
    return *this;
}

DialogScript &DialogScript::cancel()
{
    m_answers.append({{Dialogs::Reply::Cancel, {}}, false});
    return *this;
}

DialogScript &DialogScript::type(const QString &text)
{
    m_answers.append({{Dialogs::Reply::Ok, text}, true});
    return *this;
}

QStringList DialogScript::askedTexts() const
{
    QStringList texts;
    for (const Dialogs::Request &request : m_asked)
        texts.append(request.text);
    return texts;
}

QStringList DialogScript::boxes() const
{
    QStringList texts;
    for (const Dialogs::Request &request : m_asked) {
        if (request.kind == Dialogs::Request::Kind::Input)
            texts.append(request.text + QStringLiteral(" [") + request.defaultAnswer + u']');
        else if (request.buttons == Dialogs::Buttons::OkCancel)
            texts.append(request.text + QStringLiteral(" (OK, Cancel)"));
        else
            texts.append(request.text);
    }
    return texts;
}

Dialogs::Answer DialogScript::answer(const Dialogs::Request &request)
{
    m_asked.append(request);
    if (m_answers.isEmpty()) {
        m_unexpected.append(request);
        if (m_unexpected.size() > kRunawayLimit)
            qFatal("DialogScript: \"%s\" asked %lld times after the script ran out",
                   qPrintable(request.text), static_cast<long long>(m_unexpected.size()));
        return {Dialogs::Reply::Cancel, {}};
    }
    Queued next = m_answers.takeFirst();
    if (request.kind == Dialogs::Request::Kind::Input && !next.typed &&
        next.answer.reply == Dialogs::Reply::Ok)
        next.answer.text = request.defaultAnswer;
    return next.answer;
}
