#include "dispatch.h"

namespace ModuleMain {

Mode modeFor(const QStringList &tokens)
{
    if (tokens.isEmpty())
        return Mode::Chooser;
    const QString key = tokens.first().toLower();
    if (key == u"/s")
        return Mode::Server;
    if (key == u"/c")
        return Mode::Client;
    if (key == u"/u")
        return Mode::Udp;
    if (key == u"/?")
        return Mode::Help;
    return Mode::Nothing;
}

QString helpText()
{
    return QStringLiteral("Exe Command Lines\r\n"
                          "\r\n"
                          "[/s] = Auto Server Mode Command\r\n"
                          "[/c] = Auto Client Mode Command\r\n"
                          "[/?] = This Message Box");
}

} // namespace ModuleMain
