#pragma once

#include <QString>

#include <functional>

class QWidget;

// Every modal box of the program goes through here, so that tests can answer them.
namespace Dialogs {

enum class Buttons { Ok, OkCancel };
enum class Reply { Ok, Cancel };

// A box with the text, no icon and the application's title. With OkCancel, Escape and closing
// the box count as Cancel.
Reply messageBox(const QString &text, Buttons buttons = Buttons::Ok, QWidget *parent = nullptr);

// A box with the prompt, an empty title and an entry holding defaultAnswer. Returns the text
// typed, or the empty string when the user cancels.
QString inputBox(const QString &prompt, const QString &defaultAnswer, QWidget *parent = nullptr);

// Asks "Close ?" with OK and Cancel; true when the user lets the window close.
bool confirmClose(QWidget *parent);

// Test hook: while a responder is installed, it answers every box instead of the user.
struct Request
{
    enum class Kind { Message, Input } kind = Kind::Message;
    QString text; // the message, or the input box's prompt
    QString defaultAnswer;
    Buttons buttons = Buttons::Ok;
};

struct Answer
{
    Reply reply = Reply::Ok;
    QString text; // what was typed, for an input box answered with Ok
};

using Responder = std::function<Answer(const Request &)>;
// An empty responder restores the real boxes.
void setResponderForTesting(Responder responder);

} // namespace Dialogs
