#include "relayoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

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
    parser.addOptions({port, bind, quiet, timestamps, trace, tlsPort, tlsOnly, tlsCert, tlsKey});
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
