#include "dialogs.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace {

Dialogs::Responder &responder()
{
    static Dialogs::Responder instance;
    return instance;
}

} // namespace

namespace Dialogs {

Reply messageBox(const QString &text, Buttons buttons, QWidget *parent)
{
    if (responder()) {
        const Answer answer = responder()({Request::Kind::Message, text, {}, buttons});
        return buttons == Buttons::Ok ? Reply::Ok : answer.reply;
    }

    QMessageBox box(parent);
    box.setWindowTitle(QApplication::applicationName());
    box.setIcon(QMessageBox::NoIcon);
    // Texts may come from the network or the user: never let them turn into markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    if (buttons == Buttons::OkCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int result = box.exec();
    if (buttons == Buttons::Ok)
        return Reply::Ok;
    return result == QMessageBox::Ok ? Reply::Ok : Reply::Cancel;
}

QString inputBox(const QString &prompt, const QString &defaultAnswer, QWidget *parent)
{
    if (responder()) {
        const Answer answer =
            responder()({Request::Kind::Input, prompt, defaultAnswer, Buttons::OkCancel});
        return answer.reply == Reply::Ok ? answer.text : QString();
    }

    QInputDialog box(parent);
    box.setWindowTitle(QString());
    // The title stays empty; a screen reader names the box by its question.
    box.setAccessibleName(prompt);
    box.setInputMode(QInputDialog::TextInput);
    box.setLabelText(prompt);
    box.setTextValue(defaultAnswer);
    if (box.exec() != QDialog::Accepted)
        return QString();
    return box.textValue();
}

bool confirmClose(QWidget *parent)
{
    return messageBox(QStringLiteral("Close ?"), Buttons::OkCancel, parent) == Reply::Ok;
}

void setResponderForTesting(Responder newResponder)
{
    responder() = std::move(newResponder);
}

} // namespace Dialogs
