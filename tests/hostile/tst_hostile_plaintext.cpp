// What people see is plain text everywhere: nothing received or typed is ever taken for rich
// text, markup, a caption placeholder or a keyboard accelerator.

#include "application.h"
#include "cws_tcp_s.h"
#include "dialogs.h"
#include "dialogscript.h"
#include "formtcpclientmain.h"
#include "formtcpservermain.h"
#include "formudpmain.h"
#include "logpane.h"
#include "sockettools.h"
#include "windowtools.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMessageBox>
#include <QTcpServer>
#include <QTest>
#include <QWindow>

#include <memory>

namespace {

constexpr int kTimeout = 10000;

// Markup, entities, a caption placeholder, accelerators, terminal escapes, direction
// overrides and control characters: each must come out exactly as it went in.
const QByteArray kTricky = "<b>bold</b> <img src=\"x\"> &amp; &lt; [*] &Close &&x\r\n"
                           "<a href=\"file:///etc/passwd\">link</a>\t\x1b[31mred\x1b[0m\r\n"
                           "\xe2\x80\xae"
                           "desrever\xe2\x80\xac \x01\x07\x7f\r\n";

// What a window's title looks like once the platform has it.
QString shownTitle(QWidget *window)
{
    return window->windowHandle() ? window->windowHandle()->title() : QString();
}

// The text a menu shows for a caption: "&&" is a literal ampersand, a lone "&" marks the
// accelerator and is not shown.
QString shownCaption(const QString &caption)
{
    QString shown;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption.at(i) == u'&' && i + 1 < caption.size())
            ++i;
        shown += caption.at(i);
    }
    return shown;
}

} // namespace

class TstHostilePlainText final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void serverLogShowsReceivedTextAsIs();
    void clientCaptionAndLogAreLiteral();
    void udpMenuCaptionHasNoAccelerator();
    void messageBoxShowsMarkupAsText();
};

void TstHostilePlainText::initTestCase()
{
    Application::setUp(*qApp);
    QApplication::setQuitOnLastWindowClosed(false);
}

void TstHostilePlainText::serverLogShowsReceivedTextAsIs()
{
    DialogScript script;
    script.type(QStringLiteral("0"));
    const std::unique_ptr<FormTCPServerMain> window(new FormTCPServerMain);
    window->show();
    auto *server = window->findChild<CWS_TCP_S *>(QStringLiteral("CWS_TCP_S"));
    QVERIFY(server);
    LogPane *log = logOf(window.get());

    StreamPeer peer(quint16(server->Port()));
    QVERIFY(peer.waitConnected(kTimeout));
    peer.expect(decoded(kTricky).toUtf8());
    peer.send(kTricky);
    WAIT_UNTIL_MS(log->length() == decoded(kTricky).size(), kTimeout);
    QCOMPARE(log->text(), decoded(kTricky));
    WAIT_UNTIL_MS(peer.receivedCount() == decoded(kTricky).toUtf8().size(), kTimeout);
    QCOMPARE(peer.mismatchAt(), -1);
    // The caption carries no received text; its own form is intact.
    QCOMPARE(shownTitle(window.get()), window->windowTitle());
    QVERIFY(window->windowTitle().startsWith(QStringLiteral("[1]-[")));
    QCOMPARE(script.asked().size(), 1);
}

void TstHostilePlainText::clientCaptionAndLogAreLiteral()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost, 0));
    std::unique_ptr<StreamPeer> peer;
    connect(&fake, &QTcpServer::newConnection, this,
            [&] { peer = std::make_unique<StreamPeer>(fake.nextPendingConnection()); });

    DialogScript script;
    const std::unique_ptr<FormTCPClientMain> window(new FormTCPClientMain);
    window->show();
    LogPane *log = logOf(window.get());
    // Ten characters: a placeholder twice, markup and an accelerator.
    const QString handle = QStringLiteral("[*]<b>&[*]");
    script.type(QStringLiteral("127.0.0.1")).type(QString::number(fake.serverPort())).type(handle);
    triggerAction(window.get(), "mnuConnect");
    WAIT_UNTIL_MS(peer && peer->tail().contains("|login - "), kTimeout);

    QCOMPARE(shownTitle(window.get()),
             QStringLiteral("[%1:127.0.0.1:%2] - wisp client").arg(handle).arg(fake.serverPort()));
    peer->send(kTricky);
    WAIT_UNTIL_MS(log->length() == decoded(kTricky).size(), kTimeout);
    QCOMPARE(log->text(), decoded(kTricky));
    QCOMPARE(script.asked().size(), 3);
}

void TstHostilePlainText::udpMenuCaptionHasNoAccelerator()
{
    DialogScript script;
    const std::unique_ptr<FormUDPMain> window(new FormUDPMain);
    window->show();
    QAction *reset = window->findChild<QAction *>(QStringLiteral("mnuReSet"));
    QVERIFY(reset);

    const QString answer = QStringLiteral("<i>&a[*]&&b");
    script.type(answer);
    reset->trigger();
    QVERIFY(QKeySequence::mnemonic(reset->text()).isEmpty());
    QCOMPARE(shownCaption(reset->text()), QStringLiteral("RIP:") + answer);
    // The window's own caption never carries the address.
    QCOMPARE(shownTitle(window.get()), QStringLiteral("UDP"));
}

// The program's real message box (no test responder): markup in its text stays text.
void TstHostilePlainText::messageBoxShowsMarkupAsText()
{
    const QString text = QStringLiteral("<b>bold</b> &amp; <img src=\"x\"> [*] &Close");
    bool seen = false;
    QString shown;
    Qt::TextFormat format = Qt::AutoText;
    QTimer::singleShot(0, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen = true;
        format = box->textFormat();
        shown = box->text();
        box->accept();
    });
    QTimer failSafe;
    failSafe.setSingleShot(true);
    connect(&failSafe, &QTimer::timeout, this, [] {
        if (QWidget *box = QApplication::activeModalWidget())
            box->close();
    });
    failSafe.start(kTimeout);
    Dialogs::messageBox(text, Dialogs::Buttons::Ok, nullptr);
    QVERIFY(seen);
    QCOMPARE(format, Qt::PlainText);
    QCOMPARE(shown, text);
}

QTEST_MAIN(TstHostilePlainText)
#include "tst_hostile_plaintext.moc"
