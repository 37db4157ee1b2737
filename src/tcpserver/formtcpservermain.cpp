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
    : QMainWindow(parent), CWS_TCP_S(new ::CWS_TCP_S(this)), TextLog(new LogPane(this))
{
    CWS_TCP_S->setObjectName(QStringLiteral("CWS_TCP_S"));
    connect(CWS_TCP_S, &::CWS_TCP_S::GetData, this, &FormTCPServerMain::serverGetData);
    connect(CWS_TCP_S, &::CWS_TCP_S::ServiceComplete, this,
            &FormTCPServerMain::serverServiceComplete);
    connect(CWS_TCP_S, &::CWS_TCP_S::ServiceError, this, &FormTCPServerMain::serverServiceError);

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
    CWS_TCP_S->disconnect(this);
    delete CWS_TCP_S;
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
    CWS_TCP_S->Listen(port.value);

    qint32 index = 0;
    serverServiceComplete(false, index);
}

void FormTCPServerMain::serverGetData(qint32 &Index, QString &rstrData)
{
    Q_UNUSED(Index);
    // Clients wait for their own lines to come back, so the relay goes before the log.
    CWS_TCP_S->SendData(rstrData, 0);
    TextLog->appendText(rstrData);
    TextLog->setCaretPosition(TextLog->length());
}

void FormTCPServerMain::serverServiceComplete(bool vblnFlag, qint32 &Index)
{
    Q_UNUSED(vblnFlag);
    Q_UNUSED(Index);
    const qint16 count = CWS_TCP_S->ConnectCount();
    const QString ip = CWS_TCP_S->IP();
    const qint32 port = CWS_TCP_S->Port();
    // One pass over the pattern, so nothing in the address text is taken for a placeholder.
    setWindowTitle(QStringLiteral("[%1]-[%2:%3] - %4")
                       .arg(QString::number(count), ip, QString::number(port), Caption));
}

void FormTCPServerMain::serverServiceError(qint32 &Index)
{
    CWS_TCP_S->Disconnect(Index);
}

void FormTCPServerMain::mnuCloseClick()
{
    CWS_TCP_S->Close();
    close();
}

void FormTCPServerMain::mnuConnectCloseClick()
{
    CWS_TCP_S->Disconnect(0);
}

void FormTCPServerMain::mnuInfoWSockClick()
{
    const bool blnOn = !CWS_TCP_S->InfoWSock();
    CWS_TCP_S->setInfoWSock(blnOn);
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
    CWS_TCP_S->Close();
    event->accept();
}
