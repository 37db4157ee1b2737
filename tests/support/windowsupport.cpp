#include "windowsupport.h"

#include "datetimetexts.h"

DialogScript::DialogScript()
{
    Dialogs::setResponderForTesting([this](const Dialogs::Request &r) {
        QString box = r.text;
        if (r.kind == Dialogs::Request::Kind::Input)
            box += QStringLiteral(" [") + r.defaultAnswer + u']';
        else if (r.buttons == Dialogs::Buttons::OkCancel)
            box += QStringLiteral(" (OK, Cancel)");
        boxes.append(box);
        if (onNextBox)
            std::exchange(onNextBox, nullptr)();
        if (m_answers.isEmpty()) {
            unexpected.append(box);
            if (unexpected.size() > 100)
                qFatal("DialogScript: the window keeps asking \"%s\"", qPrintable(box));
            return Dialogs::Answer{Dialogs::Reply::Cancel, {}};
        }
        const auto [accepted, text] = m_answers.takeFirst();
        return Dialogs::Answer{accepted ? Dialogs::Reply::Ok : Dialogs::Reply::Cancel,
                               text.isNull() ? r.defaultAnswer : text};
    });
}

DialogScript &DialogScript::queue(bool accepted, const QString &text)
{
    m_answers.append({accepted, text});
    return *this;
}

FixedClock::FixedClock()
{
    DateTimeTexts::setClockForTesting([] { return QDateTime(QDate(2000, 6, 12), QTime(9, 5, 7)); },
                                      QLocale(QLocale::Japanese, QLocale::Japan));
}

FixedClock::~FixedClock()
{
    DateTimeTexts::setClockForTesting({});
}
