#include "formtcpclientmain.h"

#include "chatline.h"
#include "clientlayout.h"
#include "common/appearance.h"
#include "common/application.h"
#include "common/dialogs.h"
#include "common/logpane.h"
#include "common/numberreading.h"
#include "sockets/cws_tcp_c.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDeadlineTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

namespace {

const QString kCaption = QStringLiteral("wisp client");
constexpr double kClientWidthTwips = 6285;
constexpr double kClientHeightTwips = 4395;
constexpr qsizetype kMaxHandleLength = 10;
// A logout line that has not come back by then never will (a server that does not relay).
constexpr int kEchoWaitMs = 3000;

// Window titles read "[*]" as the place of the modified marker; doubled it shows as typed.
QString literalTitle(QString title)
{
    return title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

QRectF twipsOf(const QRect &pixels)
{
    return QRectF(Appearance::pixelsToTwips(pixels.x()), Appearance::pixelsToTwips(pixels.y()),
                  Appearance::pixelsToTwips(pixels.width()),
                  Appearance::pixelsToTwips(pixels.height()));
}

QRect pixelsOf(const QRectF &twips)
{
    return QRect(Appearance::twipsToPixels(twips.x()), Appearance::twipsToPixels(twips.y()),
                 Appearance::twipsToPixels(twips.width()),
                 Appearance::twipsToPixels(twips.height()));
}

bool isReturn(const QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<const QKeyEvent *>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

FormTCPClientMain::FormTCPClientMain(QWidget *parent) : QWidget(parent)
{
    setWindowTitle(kCaption);
    setWindowIcon(Application::icon());
    createControls();
    createMenu();

    tcpClient = new CWS_TCP_C(this);
    connect(tcpClient, qOverload<>(&CWS_TCP_C::Connect), this, &FormTCPClientMain::onConnect);
    connect(tcpClient, &CWS_TCP_C::ConnectClose, this, &FormTCPClientMain::onConnectClose);
    connect(tcpClient, &CWS_TCP_C::ConnectError, this, &FormTCPClientMain::onConnectError);
    connect(tcpClient, &CWS_TCP_C::GetData, this, &FormTCPClientMain::onGetData);

    strHost = QStringLiteral("localhost");
    strPort = QStringLiteral("555");
    strHandle = QStringLiteral("Default");

    resize(Appearance::twipsToPixels(kClientWidthTwips),
           Appearance::twipsToPixels(kClientHeightTwips));
}

FormTCPClientMain::~FormTCPClientMain()
{
    // Whatever the component raises while it shuts down must not reach a window that is
    // half gone.
    tcpClient->disconnect(this);
    delete tcpClient;
    tcpClient = nullptr;
}

void FormTCPClientMain::createControls()
{
    TextLog = new LogPane(this);
    TextLog->setObjectName(QStringLiteral("TextLog"));
    Appearance::styleBox(TextLog, Appearance::kLightBlue);

    btnMenu = new QPushButton(this);
    btnMenu->setObjectName(QStringLiteral("btnMenu"));
    Appearance::styleBox(btnMenu, Appearance::kLightBlue);
    // The style's shaded button face would hide the colour; a plain face with a raised edge
    // keeps it.
    btnMenu->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; border: 2px outset %1; }"
                       "QPushButton:pressed { border-style: inset; }")
            .arg(Appearance::kLightBlue.name()));
    connect(btnMenu, &QPushButton::clicked, this, &FormTCPClientMain::popUpMenu);

    ComboMain = new QComboBox(this);
    ComboMain->setObjectName(QStringLiteral("ComboMain"));
    ComboMain->setEditable(true);
    // The history is ours alone: the box neither adds, sorts nor completes entries by itself.
    ComboMain->setInsertPolicy(QComboBox::NoInsert);
    ComboMain->setCompleter(nullptr);
    Appearance::styleBox(ComboMain, Appearance::kLightBlue);
    Appearance::styleBox(ComboMain->lineEdit(), Appearance::kLightBlue);
    // The platform decides the combo's height from its font; the layout follows it.
    ComboMain->setFixedHeight(ComboMain->sizeHint().height());
    ComboMain->installEventFilter(this);
    ComboMain->lineEdit()->installEventFilter(this);

    setTabOrder(TextLog, btnMenu);
    setTabOrder(btnMenu, ComboMain);
}

void FormTCPClientMain::createMenu()
{
    // Shown only as a pop-up from btnMenu; the window has no menu bar.
    mnuMenu = new QMenu(QStringLiteral("Menu"), this);
    mnuMenu->setObjectName(QStringLiteral("mnuMenu"));

    const auto addItem = [this](const char *name, const char *caption,
                                void (FormTCPClientMain::*command)()) {
        QAction *action = mnuMenu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, command);
    };
    addItem("mnuConnect", "Connect", &FormTCPClientMain::connectDialogue);
    addItem("mnuClose", "Close", &FormTCPClientMain::closeSequence);
    addItem("mnuSend", "Send", &FormTCPClientMain::send);
    addItem("mnuInfWSock", "InfWSock", &FormTCPClientMain::toggleInfoWSock);
    mnuMenu->addSeparator()->setObjectName(QStringLiteral("mnuHR01"));
    addItem("mnuLogClear", "LogClear", &FormTCPClientMain::clearLog);
    addItem("mnuHistClear", "HistClear", &FormTCPClientMain::clearHistory);
}

void FormTCPClientMain::placeControls()
{
    const ClientLayout::Placement current{
        twipsOf(TextLog->geometry()), twipsOf(btnMenu->geometry()), twipsOf(ComboMain->geometry())};
    const ClientLayout::Placement next =
        ClientLayout::place(Appearance::pixelsToTwips(width()), Appearance::pixelsToTwips(height()),
                            Appearance::pixelsToTwips(ComboMain->height()), current);
    TextLog->setGeometry(pixelsOf(next.textLog));
    btnMenu->setGeometry(pixelsOf(next.btnMenu));
    ComboMain->setGeometry(pixelsOf(next.comboMain));
}

void FormTCPClientMain::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeControls();
}

void FormTCPClientMain::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    // Minimising and restoring need not change the widget's size here, yet the controls
    // must come back in their places afterwards.
    if (event->type() == QEvent::WindowStateChange)
        placeControls();
}

bool FormTCPClientMain::eventFilter(QObject *watched, QEvent *event)
{
    // Keys reach the combo box, which hands them to its line edit. A key sent to the line
    // edit itself goes on to the combo box when the line edit ignores it, as it does with
    // Return: the same event must not send twice.
    if (watched == ComboMain->lineEdit() && isReturn(event)) {
        returnFromLineEdit = event;
        send();
    } else if (watched == ComboMain && event->type() == QEvent::KeyPress) {
        if (isReturn(event) && event != returnFromLineEdit)
            send();
        returnFromLineEdit = nullptr;
    }
    return QWidget::eventFilter(watched, event);
}

void FormTCPClientMain::closeEvent(QCloseEvent *event)
{
    if (!Dialogs::confirmClose(this)) {
        event->ignore();
        return;
    }
    QPointer<FormTCPClientMain> self(this);
    closeSequence();
    if (self)
        event->accept();
}

void FormTCPClientMain::connectDialogue()
{
    strHost = Dialogs::inputBox(QStringLiteral("Host IP ?"), strHost, this);
    if (strHost.isEmpty())
        return;
    strPort = Dialogs::inputBox(QStringLiteral("Host Port ?"), strPort, this);
    if (strPort.isEmpty())
        return;
    for (;;) {
        strHandle =
            Dialogs::inputBox(QStringLiteral("Handle Name ? (0 < ? < 11)"), strHandle, this);
        if (strHandle.isEmpty())
            return;
        if (strHandle.size() <= kMaxHandleLength)
            break;
        Dialogs::messageBox(QStringLiteral("Wrong a Handle Name"), Dialogs::Buttons::Ok, this);
    }
    NumberReading::Result port = NumberReading::readNumber(strPort);
    while (!port.inRange) {
        Dialogs::messageBox(QStringLiteral("Port number out of range."), Dialogs::Buttons::Ok,
                            this);
        strPort = Dialogs::inputBox(QStringLiteral("Host Port ?"), strPort, this);
        if (strPort.isEmpty())
            return;
        port = NumberReading::readNumber(strPort);
    }
    tcpClient->Connect(strHost, port.value);
}

void FormTCPClientMain::closeSequence()
{
    SendLine(ChatLine::logoutText());
    if (!awaitEcho())
        return;
    tcpClient->Close();
}

// Lets the window go on working until the last line sent has come back. No echo can come
// without a connection, once the connection has ended, or from a server that does not relay,
// so those end the wait as well. Returns false when the window was destroyed meanwhile.
bool FormTCPClientMain::awaitEcho()
{
    QPointer<FormTCPClientMain> self(this);
    const quint64 endsBefore = connectionEnds;
    const QDeadlineTimer deadline(kEchoWaitMs);
    // Waking the loop at the deadline; without it an idle loop would sleep on.
    QTimer wakeUp;
    wakeUp.setSingleShot(true);
    wakeUp.setTimerType(Qt::PreciseTimer);
    wakeUp.start(kEchoWaitMs);

    while (blnWaitEcho && connectionEnds == endsBefore && tcpClient->ID() != 0 &&
           !deadline.hasExpired() && wakeUp.isActive()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (!self)
            return false;
    }
    return true;
}

void FormTCPClientMain::send()
{
    const QString text = ComboMain->currentText();
    SendLine(text);
    const QString top = ComboMain->count() > 0 ? ComboMain->itemText(0) : QString();
    if (text != top)
        ComboMain->insertItem(0, text);
    ComboMain->setEditText(QString());
}

void FormTCPClientMain::toggleInfoWSock()
{
    tcpClient->setInfoWSock(!tcpClient->InfoWSock());
}

void FormTCPClientMain::clearLog()
{
    TextLog->clear();
}

void FormTCPClientMain::clearHistory()
{
    ComboMain->clear();
    ComboMain->clearEditText();
}

void FormTCPClientMain::popUpMenu()
{
    mnuMenu->popup(QCursor::pos());
}

void FormTCPClientMain::onConnect()
{
    SendLine(ChatLine::loginText());
    const QString ip = tcpClient->IP();
    const qint32 port = tcpClient->Port();
    setWindowTitle(literalTitle(u'[' + strHandle + u':' + ip + u':' + QString::number(port) +
                                QStringLiteral("] - ") + kCaption));
}

void FormTCPClientMain::onConnectClose()
{
    ++connectionEnds;
    Dialogs::messageBox(QStringLiteral("切断されました。"), Dialogs::Buttons::Ok, this);
}

void FormTCPClientMain::onConnectError()
{
    ++connectionEnds;
    Dialogs::messageBox(QStringLiteral("接続に失敗しました。"), Dialogs::Buttons::Ok, this);
}

void FormTCPClientMain::onGetData(QString &rstrData)
{
    TextLog->appendText(rstrData);
    TextLog->setCaretPosition(std::max<qsizetype>(0, TextLog->length() - 1));
    if (ChatLine::isEcho(rstrData, strLastLine))
        blnWaitEcho = false;
}

void FormTCPClientMain::SendLine(const QString &text)
{
    const qint32 id = tcpClient->ID();
    strLastLine = ChatLine::build(id, strHandle, text);
    blnWaitEcho = true;
    tcpClient->SendData(strLastLine);
}
