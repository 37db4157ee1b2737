#pragma once

#include "accesslist.h"

#include <QHostAddress>
#include <QStringList>

#include <optional>

// The relay's command line.
struct RelayOptions
{
    QHostAddress address = QHostAddress::Any;
    quint16 port = 555;
    bool quiet = false;
    bool timestamps = false;
    bool trace = false;
    // Who may connect and how much one client may take; 0 is no limit where it is allowed.
    AccessSources access;
    int maxClients = 10000;
    int maxLineRate = 0;               // lines a second, as many again at once
    qint64 maxQueue = 4 * 1024 * 1024; // bytes of output unsent to one client
    int idleTimeout = 0;               // seconds
    // TLS: on a second port beside the plain one, or on the main port instead of plain. The
    // certificate and key files are both set or both empty (a certificate made at start).
    std::optional<quint16> tlsPort;
    bool tlsOnly = false;
    QString tlsCert;
    QString tlsKey;

    enum class Outcome { Run, Exit, Error };
    // Reads arguments (the program name first). Exit: help or version was written to standard
    // output. Error: message holds the one line to write before the usage (in usage).
    static Outcome parse(const QStringList &arguments, RelayOptions &options, QString &message,
                         QString &usage);
};
