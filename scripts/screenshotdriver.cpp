// Opens the program's four windows in one process, drives them through the dialog hook the way
// a user would (a server on a port, two clients that log in and chat, a UDP window that sends a
// block to itself) and writes a PNG of each window. Run it under an X server (scripts/
// screenshots.sh starts one); the windows are grabbed from their own painting, so no window
// manager is needed.
//
//   kestrel_screenshots <output folder>
#include "application.h"
#include "cws_tcp_s.h"
#include "dialogs.h"
#include "formtcpclientmain.h"
#include "formtcpservermain.h"
#include "formudpmain.h"
#include "logpane.h"
#include "windowopener.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <functional>

namespace {

constexpr int kStepTimeoutMs = 10000;
constexpr int kCaptionHeight = 24;

QString g_handle = QStringLiteral("Default");
QString g_port = QStringLiteral("555");
bool g_failed = false;

void warn(const QString &text)
{
    std::fprintf(stderr, "kestrel_screenshots: %s\n", qPrintable(text));
}

// Runs the event loop until done() holds or the time is up.
bool runUntil(const std::function<bool()> &done, int timeoutMs = kStepTimeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || clock.hasExpired(timeoutMs))
            loop.quit();
    });
    tick.start(20);
    if (!done())
        loop.exec();
    return done();
}

bool expect(bool ok, const QString &what)
{
    if (!ok) {
        warn(QStringLiteral("gave up waiting: ") + what);
        g_failed = true;
    }
    return ok;
}

QString logText(QWidget *window)
{
    const auto *log = window->findChild<LogPane *>(QStringLiteral("TextLog"));
    return log ? log->text() : QString();
}

void trigger(QWidget *window, const QString &actionName)
{
    if (auto *action = window->findChild<QAction *>(actionName))
        action->trigger();
    else
        warn(QStringLiteral("%1 has no %2").arg(window->metaObject()->className(), actionName));
}

void clientSend(FormTCPClientMain *client, const QString &text)
{
    if (auto *combo = client->findChild<QComboBox *>(QStringLiteral("ComboMain")))
        combo->setEditText(text);
    trigger(client, QStringLiteral("mnuSend"));
}

// No window manager draws a title bar under the bare X server, so the shot gets a plain strip
// with the window's own icon and caption, which is what tells a server's state.
QImage withCaption(QWidget *window)
{
    const QPixmap body = window->grab();
    const qreal ratio = body.devicePixelRatio();
    QImage image(body.width(), body.height() + int(kCaptionHeight * ratio),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(QColor(52, 58, 72));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    window->windowIcon().paint(&p, QRect(6, (kCaptionHeight - 16) / 2, 16, 16));
    p.setPen(Qt::white);
    QFont font = QApplication::font();
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(28, 0, int(body.width() / ratio) - 34, kCaptionHeight),
               Qt::AlignVCenter | Qt::AlignLeft, window->windowTitle());
    p.drawPixmap(0, kCaptionHeight, body);
    return image;
}

void save(const QImage &image, const QString &folder, const QString &name)
{
    const QString path = QDir(folder).filePath(name);
    if (image.save(path, "png")) {
        std::printf("%s\n", qPrintable(path));
    } else {
        warn(QStringLiteral("cannot write ") + path);
        g_failed = true;
    }
}

Dialogs::Answer answer(const Dialogs::Request &request)
{
    if (request.text == u"Host Port ?")
        return {Dialogs::Reply::Ok, g_port};
    if (request.text == u"Host IP ?")
        return {Dialogs::Reply::Ok, QStringLiteral("localhost")};
    if (request.text.startsWith(u"Handle Name ?"))
        return {Dialogs::Reply::Ok, g_handle};
    if (request.text == u"Close ?")
        return {Dialogs::Reply::Ok, {}};
    warn(QStringLiteral("unexpected box: ") + request.text);
    return {Dialogs::Reply::Cancel, {}};
}

// The server's own port 555 when it is free to bind here, else one the system picks.
QString serverPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 555) ? QStringLiteral("555") : QStringLiteral("0");
}

void shootChooser(const QString &folder)
{
    QWidget *chooser = WindowOpener::create(ModuleMain::Mode::Chooser);
    chooser->show();
    runUntil([chooser] { return chooser->windowHandle() && chooser->windowHandle()->isExposed(); });
    // Point at the server button, as a user about to choose it would, so its hint shows.
    if (auto *button = chooser->findChild<QPushButton *>(QStringLiteral("btnChoise1"))) {
        QCursor::setPos(button->mapToGlobal(button->rect().center()));
        auto *hint = chooser->findChild<QLabel *>(QStringLiteral("LabelInformation"));
        expect(runUntil([hint] { return hint && !hint->text().isEmpty(); }, 3000),
               QStringLiteral("the chooser's hint"));
    }
    save(chooser->grab().toImage(), folder, QStringLiteral("chooser.png"));
    QCursor::setPos(0, 0);
    delete chooser;
}

FormTCPClientMain *openClient(const QString &handle, const QPoint &at)
{
    auto *client = new FormTCPClientMain;
    client->move(at);
    client->resize(520, 240);
    client->show();
    g_handle = handle;
    trigger(client, QStringLiteral("mnuConnect"));
    expect(runUntil([client, handle] {
               return client->windowTitle().startsWith(QLatin1Char('[') + handle + u':');
           }),
           handle + QStringLiteral(" connecting"));
    return client;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Application::setUp(app);
    app.setQuitOnLastWindowClosed(false);
    const QStringList args = QApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: kestrel_screenshots <output folder>\n");
        return 2;
    }
    const QString folder = args[1];
    QDir().mkpath(folder);
    Dialogs::setResponderForTesting(answer);

    shootChooser(folder);

    g_port = serverPort();
    auto *server = new FormTCPServerMain;
    server->move(40, 40);
    server->show();
    server->resize(560, 220);
    if (const auto *listener = server->findChild<CWS_TCP_S *>())
        g_port = QString::number(listener->Port());

    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), QPoint(40, 300));
    FormTCPClientMain *bob = openClient(QStringLiteral("Bob"), QPoint(600, 300));
    const QList<QPair<FormTCPClientMain *, QString>> chat = {
        {alice, QStringLiteral("こんにちは、みなさん。")},
        {bob, QStringLiteral("Hi Alice! 調子はどう?")},
        {alice, QStringLiteral("上々です。UDP も試してみます。")},
    };
    for (const auto &[client, line] : chat) {
        clientSend(client, line);
        // Each line goes round the server before the next one is typed.
        expect(runUntil([alice, bob, line] {
                   return logText(alice).contains(line) && logText(bob).contains(line);
               }),
               QStringLiteral("the relay of ") + line);
    }
    runUntil([server, chat] { return logText(server).contains(chat.last().second); });
    save(withCaption(server), folder, QStringLiteral("server.png"));
    save(withCaption(alice), folder, QStringLiteral("client.png"));

    auto *udp = new FormUDPMain;
    udp->move(40, 560);
    udp->show();
    udp->resize(480, 320);
    if (auto *entry = udp->findChild<QPlainTextEdit *>(QStringLiteral("TextMain")))
        entry->setPlainText(QStringLiteral("UDP のテストです。\nhello over 777/778"));
    trigger(udp, QStringLiteral("mnuSend"));
    expect(runUntil([udp] { return logText(udp).startsWith(u"got date - "); }),
           QStringLiteral("the UDP block coming back (ports 777/778 need root or "
                          "cap_net_bind_service)"));
    save(withCaption(udp), folder, QStringLiteral("udp.png"));

    Dialogs::setResponderForTesting({});
    delete udp;
    delete bob;
    delete alice;
    delete server;
    return g_failed ? 1 : 0;
}
