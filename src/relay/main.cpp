#include "chatrelay.h"
#include "eventlog.h"
#include "fdlimit.h"
#include "relayoptions.h"
#include "signalwatcher.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Before anything else, so that no thread ever takes SIGTERM, SIGINT or SIGHUP the default
    // way.
    SignalWatcher::holdStopSignals();
    FdLimit::raiseOpenFileLimit();

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrel-relay"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));

    RelayOptions options;
    QString message;
    QString usage;
    switch (RelayOptions::parse(QCoreApplication::arguments(), options, message, usage)) {
    case RelayOptions::Outcome::Exit:
        return 0;
    case RelayOptions::Outcome::Error:
        std::fprintf(stderr, "kestrel-relay: %s\n%s", qPrintable(message), qPrintable(usage));
        return 2;
    case RelayOptions::Outcome::Run:
        break;
    }

    EventLog::install(options.timestamps);
    SignalWatcher watcher;
    ChatRelay relay(options);
    QObject::connect(&watcher, &SignalWatcher::stopRequested, &relay, &ChatRelay::stop);
    QObject::connect(&watcher, &SignalWatcher::reloadRequested, &relay,
                     &ChatRelay::reloadCertificate);
    QObject::connect(&relay, &ChatRelay::finished, &app, [] { QCoreApplication::exit(0); });
    if (!relay.start())
        return 1;
    return QCoreApplication::exec();
}
