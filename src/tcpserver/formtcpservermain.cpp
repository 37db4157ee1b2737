#include "formtcpservermain.h"

#include "appearance.h"
#include "application.h"
#include "cws_tcp_s.h"
#include "dialogs.h"
#include "logpane.h"
#include "numberreading.h"

#include <QAction>
#include <QCloseEvent>
#include <QLayout>
#include <QMenuBar>
#include <QScreen>

#include <utility>

namespace {

const QString Caption = QStringLiteral("wisp server");
const QString PortPrompt = QStringLiteral("Host Port ?");
const QString DefaultPort = QStringLiteral("555");
constexpr double ClientWidthTwips = 3075;
constexpr double ClientHeightTwips = 1710;

} // namespace

FormTCPServerMain::FormTCPServerMain(QWidget *parent)
    : QMainWindow(parent), tcpServer(new CWS_TCP_S(this)), TextLog(new LogPane(this))
{
    tcpServer->setObjectName(QStringLiteral("CWS_TCP_S"));
    connect(tcpServer, &CWS_TCP_S::GetData, this, &FormTCPServerMain::serverGetData);
    connect(tcpServer, &CWS_TCP_S::ServiceComplete, this,
            &FormTCPServerMain::serverServiceComplete);
    connect(tcpServer, &CWS_TCP_S::ServiceError, this, &FormTCPServerMain::serverServiceError);

    setWindowTitle(Caption);
    setWindowIcon(Application::icon());

    QMenuBar *bar = menuBar();
    const auto addCommand = [this, bar](const QString &name, const QString &caption,
                                        void (FormTCPServerMain::*handler)()) {
        QAction *action = bar->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, handler);
    };
    addCommand(QStringLiteral("mnuClose"), QStringLiteral("Close"),
               &FormTCPServerMain::mnuCloseClick);
    addCommand(QStringLiteral("mnuConnectClose"), QStringLiteral("ConnectClose"),
               &FormTCPServerMain::mnuConnectCloseClick);
    addCommand(QStringLiteral("mnuInfoWSock"), QStringLiteral("InfoWSock"),
               &FormTCPServerMain::mnuInfoWSockClick);
    addCommand(QStringLiteral("mnuLogClear"), QStringLiteral("LogClear"),
               &FormTCPServerMain::mnuLogClearClick);

    TextLog->setObjectName(QStringLiteral("TextLog"));
    Appearance::styleBox(TextLog, Appearance::LightBlue);
    TextLog->setAccessibleName(QStringLiteral("Log"));
    TextLog->setAccessibleDescription(QStringLiteral("Every line received, as relayed"));
    // The pane follows the window down to any size; the layout must not hold the window up.
    TextLog->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    layout()->setSizeConstraint(QLayout::SetNoConstraint);
    setCentralWidget(TextLog);
    TextLog->setFocus();

    // The inner area lies under the menu bar, whose height depends on the width it gets.
    const QSize client(Appearance::twipsToPixels(ClientWidthTwips),
                       Appearance::twipsToPixels(ClientHeightTwips));
    const int barHeight =
        bar->hasHeightForWidth() ? bar->heightForWidth(client.width()) : bar->sizeHint().height();
    QRect area(QPoint(), QSize(client.width(), client.height() + barHeight));
    area.moveCenter(screen()->availableGeometry().center());
    setGeometry(area);
}

FormTCPServerMain::~FormTCPServerMain()
{
    // Closing connections on the way out may raise events; none may reach a half-destroyed
    // window.
    tcpServer->disconnect(this);
    delete tcpServer;
}

void FormTCPServerMain::setVisible(bool visible)
{
    if (visible && !std::exchange(m_loaded, true))
        load();
    QMainWindow::setVisible(visible);
}

void FormTCPServerMain::load()
{
    QString defaultAnswer = DefaultPort;
    NumberReading::Result port;
    for (;;) {
        const QString answer = Dialogs::inputBox(PortPrompt, defaultAnswer, this);
        if (answer.isEmpty()) {
            defaultAnswer = DefaultPort;
            continue;
        }
        port = NumberReading::readNumber(answer);
        if (port.inRange)
            break;
        // A number no port could ever be: offer it back for correction.
        defaultAnswer = answer;
    }
    tcpServer->Listen(port.value);

    qint32 index = 0;
    serverServiceComplete(false, index);
}

void FormTCPServerMain::serverGetData(qint32 &Index, QString &rstrData)
{
    Q_UNUSED(Index);
    // Clients wait for their own lines to come back, so the relay goes before the log.
    tcpServer->SendData(rstrData, 0);
    TextLog->appendText(rstrData);
    TextLog->setCaretPosition(TextLog->length());
}

void FormTCPServerMain::serverServiceComplete(bool vblnFlag, qint32 &Index)
{
    Q_UNUSED(vblnFlag);
    Q_UNUSED(Index);
    const qint16 count = tcpServer->ConnectCount();
    const QString ip = tcpServer->IP();
    const qint32 port = tcpServer->Port();
    // One pass over the pattern, so nothing in the address text is taken for a placeholder.
    setWindowTitle(QStringLiteral("[%1]-[%2:%3] - %4")
                       .arg(QString::number(count), ip, QString::number(port), Caption));
}

void FormTCPServerMain::serverServiceError(qint32 &Index)
{
    tcpServer->Disconnect(Index);
}

void FormTCPServerMain::mnuCloseClick()
{
    tcpServer->Close();
    close();
}

void FormTCPServerMain::mnuConnectCloseClick()
{
    tcpServer->Disconnect(0);
}

void FormTCPServerMain::mnuInfoWSockClick()
{
    const bool blnOn = !tcpServer->InfoWSock();
    tcpServer->setInfoWSock(blnOn);
}

void FormTCPServerMain::mnuLogClearClick()
{
    TextLog->setText(QString());
}

void FormTCPServerMain::closeEvent(QCloseEvent *event)
{
    if (!Dialogs::confirmClose(this)) {
        event->ignore();
        return;
    }
    tcpServer->Close();
    event->accept();
}
