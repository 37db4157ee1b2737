#pragma once

#include <QHostAddress>
#include <QStringList>

// The relay's command line.
struct RelayOptions
{
    QHostAddress address = QHostAddress::Any;
    quint16 port = 555;
    bool quiet = false;
    bool timestamps = false;
    bool trace = false;

    enum class Outcome { Run, Exit, Error };
    // Reads arguments (the program name first). Exit: help or version was written to standard
    // output. Error: message holds the one line to write before the usage (in usage).
    static Outcome parse(const QStringList &arguments, RelayOptions &options, QString &message,
                         QString &usage);
};
