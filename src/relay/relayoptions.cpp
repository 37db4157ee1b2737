#include "relayoptions.h"

#include "linereader.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {
// The longest piece of text a connection raises: a queue that could not hold it would cut a
// client that reads as fast as it can.
constexpr qint64 MinQueue = LineReader::MaxPiece;

// A count for a limit; 0 where that means no limit. K, M and G multiply by 1024 and its
// powers where units are allowed.
bool parseLimit(const QString &text, qint64 max, bool units, qint64 &value)
{
    QString digits = text;
    qint64 factor = 1;
    if (units && !digits.isEmpty()) {
        const int power = QStringLiteral("KMG").indexOf(digits.back().toUpper());
        if (power >= 0) {
            factor = qint64(1) << (10 * (power + 1));
            digits.chop(1);
        }
    }
    bool ok = false;
    const qint64 number = digits.toLongLong(&ok);
    if (!ok || digits.startsWith(u'+') || number < 0 || number > max / factor)
        return false;
    value = number * factor;
    return true;
}
} // namespace

RelayOptions::Outcome RelayOptions::parse(const QStringList &arguments, RelayOptions &options,
                                          QString &message, QString &usage)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Chat relay: every line any client sends goes to every connected client, "
                       "the sender included, in one order. The chat is written to standard "
                       "output, one line per event to standard error."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption port({QStringLiteral("p"), QStringLiteral("port")},
                                  QStringLiteral("Port to listen on (0: any free port)."),
                                  QStringLiteral("N"), QStringLiteral("555"));
    const QCommandLineOption bind({QStringLiteral("b"), QStringLiteral("bind")},
                                  QStringLiteral("Address to listen on (default: every "
                                                 "interface, IPv4 and IPv6)."),
                                  QStringLiteral("ADDRESS"));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Write no chat to standard output."));
    const QCommandLineOption timestamps(
        QStringLiteral("timestamps"),
        QStringLiteral("Prefix each logged line with the time (and chat lines with the sender)."));
    const QCommandLineOption trace(QStringLiteral("trace"),
                                   QStringLiteral("Socket trace on standard error."));
    const QCommandLineOption allow(
        QStringLiteral("allow"),
        QStringLiteral("Let in peers of this address or CIDR block only (repeatable)."),
        QStringLiteral("CIDR"));
    const QCommandLineOption deny(
        QStringLiteral("deny"),
        QStringLiteral("Keep out peers of this address or CIDR block (repeatable; wins over "
                       "--allow)."),
        QStringLiteral("CIDR"));
    const QCommandLineOption allowFile(
        QStringLiteral("allow-file"),
        QStringLiteral("As --allow for each line of the file (read again on SIGHUP)."),
        QStringLiteral("FILE"));
    const QCommandLineOption denyFile(
        QStringLiteral("deny-file"),
        QStringLiteral("As --deny for each line of the file (read again on SIGHUP)."),
        QStringLiteral("FILE"));
    const QCommandLineOption maxClients(
        QStringLiteral("max-clients"),
        QStringLiteral("Refuse new peers while N are connected (default 10000; 0: no limit)."),
        QStringLiteral("N"), QString::number(options.maxClients));
    const QCommandLineOption maxLineRate(
        QStringLiteral("max-line-rate"),
        QStringLiteral("Read at most N lines a second from each client, after a burst of N "
                       "(default 0: no limit)."),
        QStringLiteral("N"), QString::number(options.maxLineRate));
    const QCommandLineOption maxQueue(
        QStringLiteral("max-queue"),
        QStringLiteral("Disconnect a client once this much output waits for it (K, M, G: "
                       "KiB, MiB, GiB; default 4M, at least 1M)."),
        QStringLiteral("BYTES"), QString::number(options.maxQueue));
    const QCommandLineOption idleTimeout(
        QStringLiteral("idle-timeout"),
        QStringLiteral("Disconnect a client that sent nothing for this long (default 0: "
                       "never)."),
        QStringLiteral("SECONDS"), QString::number(options.idleTimeout));
    const QCommandLineOption tlsPort(
        QStringLiteral("tls-port"),
        QStringLiteral("Also serve TLS on this port (0: any free port), into the same chat."),
        QStringLiteral("N"));
    const QCommandLineOption tlsOnly(QStringLiteral("tls-only"),
                                     QStringLiteral("Serve TLS on the main port, no plain TCP."));
    const QCommandLineOption tlsCert(
        QStringLiteral("tls-cert"),
        QStringLiteral("TLS certificate, PEM, the chain after it (default: one made at start)."),
        QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"),
                                    QStringLiteral("Private key of --tls-cert, PEM, RSA or EC."),
                                    QStringLiteral("FILE"));
    parser.addOptions({port, bind, quiet, timestamps, trace, allow, deny, allowFile, denyFile,
                       maxClients, maxLineRate, maxQueue, idleTimeout, tlsPort, tlsOnly, tlsCert,
                       tlsKey});
    usage = parser.helpText();

    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return Outcome::Error;
    }
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(qPrintable(usage), stdout);
        return Outcome::Exit;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        return Outcome::Exit;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return Outcome::Error;
    }
    bool ok = false;
    const uint number = parser.value(port).toUInt(&ok);
    if (!ok || number > 65535) {
        message = QStringLiteral("invalid port '%1': a number from 0 to 65535 is expected")
                      .arg(parser.value(port));
        return Outcome::Error;
    }
    options.port = quint16(number);
    if (parser.isSet(bind) && !options.address.setAddress(parser.value(bind))) {
        message = QStringLiteral("invalid address '%1': an IPv4 or IPv6 address is expected")
                      .arg(parser.value(bind));
        return Outcome::Error;
    }
    // Each limit read into value, or a message naming it.
    const auto readLimit = [&](const QCommandLineOption &option, qint64 min, qint64 max, bool units,
                               auto &value) {
        qint64 number = 0;
        const QString text = parser.value(option);
        if (parseLimit(text, max, units, number) && number >= min) {
            value = decltype(+value)(number);
            return true;
        }
        message = QStringLiteral("invalid --%1 '%2': a whole number from %3 is expected")
                      .arg(option.names().constFirst(), text)
                      .arg(min);
        return false;
    };
    if (!readLimit(maxClients, 0, 1 << 30, false, options.maxClients) ||
        !readLimit(maxLineRate, 0, 1 << 30, false, options.maxLineRate) ||
        !readLimit(maxQueue, MinQueue, qint64(1) << 40, true, options.maxQueue) ||
        !readLimit(idleTimeout, 0, 1 << 30, false, options.idleTimeout))
        return Outcome::Error;
    options.access = {parser.values(allow), parser.values(deny), parser.values(allowFile),
                      parser.values(denyFile)};
    if (parser.isSet(tlsPort)) {
        const uint tls = parser.value(tlsPort).toUInt(&ok);
        if (!ok || tls > 65535 || (tls != 0 && tls == options.port)) {
            message = QStringLiteral("invalid TLS port '%1': a number from 0 to 65535 other than "
                                     "the plain port is expected")
                          .arg(parser.value(tlsPort));
            return Outcome::Error;
        }
        options.tlsPort = quint16(tls);
    }
    options.tlsOnly = parser.isSet(tlsOnly);
    options.tlsCert = parser.value(tlsCert);
    options.tlsKey = parser.value(tlsKey);
    if (options.tlsOnly && options.tlsPort) {
        message = QStringLiteral("--tls-only serves TLS on --port: no --tls-port beside it");
        return Outcome::Error;
    }
    if (options.tlsCert.isEmpty() != options.tlsKey.isEmpty()) {
        message = QStringLiteral("--tls-cert and --tls-key go together");
        return Outcome::Error;
    }
    options.quiet = parser.isSet(quiet);
    options.timestamps = parser.isSet(timestamps);
    options.trace = parser.isSet(trace);
    return Outcome::Run;
}
