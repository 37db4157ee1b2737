#include "formtcpclientmain.h"

#include "appearance.h"
#include "application.h"
#include "chatline.h"
#include "clientlayout.h"
#include "cws_tcp_c.h"
#include "dialogs.h"
#include "logpane.h"
#include "numberreading.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include <algorithm>
#include <utility>

namespace {

const QString Caption = QStringLiteral("wisp client");
constexpr double ClientWidthTwips = 6285;
constexpr double ClientHeightTwips = 4395;
constexpr qsizetype MaxHandleLength = 10;
// A logout line that has not come back by then never will (a server that does not relay).
constexpr int EchoWaitMs = 3000;
// How often a close that waits for a box of ours to go looks again.
constexpr int BoxPollMs = 50;

// Window titles read "[*]" as the place of the modified marker; doubled it shows as typed.
QString literalTitle(QString title)
{
    return title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
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
    setWindowTitle(Caption);
    setWindowIcon(Application::icon());
    createControls();
    createMenu();

    CWS_TCP_C = new ::CWS_TCP_C(this);
    CWS_TCP_C->setObjectName(QStringLiteral("CWS_TCP_C"));
    connect(CWS_TCP_C, qOverload<>(&::CWS_TCP_C::Connect), this, &FormTCPClientMain::clientConnect);
    connect(CWS_TCP_C, &::CWS_TCP_C::ConnectClose, this, &FormTCPClientMain::clientConnectClose);
    connect(CWS_TCP_C, &::CWS_TCP_C::ConnectError, this, &FormTCPClientMain::clientConnectError);
    connect(CWS_TCP_C, &::CWS_TCP_C::GetData, this, &FormTCPClientMain::clientGetData);

    echoWait.setSingleShot(true);
    echoWait.setTimerType(Qt::PreciseTimer);
    echoWait.setInterval(EchoWaitMs);
    connect(&echoWait, &QTimer::timeout, this, [this] { closeSequence(CloseEvent::TimedOut); });

    strHost = QStringLiteral("localhost");
    strPort = QStringLiteral("555");
    strHandle = QStringLiteral("Default");

    resize(Appearance::twipsToPixels(ClientWidthTwips),
           Appearance::twipsToPixels(ClientHeightTwips));
}

FormTCPClientMain::~FormTCPClientMain()
{
    // Whatever the component raises while it shuts down must not reach a window that is
    // half gone.
    CWS_TCP_C->disconnect(this);
    delete CWS_TCP_C;
}

void FormTCPClientMain::createControls()
{
    TextLog = new LogPane(this);
    TextLog->setObjectName(QStringLiteral("TextLog"));
    Appearance::styleBox(TextLog, Appearance::LightBlue);
    TextLog->setAccessibleName(QStringLiteral("Log"));
    TextLog->setAccessibleDescription(QStringLiteral("Everything the server relays"));

    btnMenu = new QPushButton(this);
    btnMenu->setObjectName(QStringLiteral("btnMenu"));
    Appearance::styleBox(btnMenu, Appearance::LightBlue);
    // The style's shaded button face would hide the colour; a plain face with a raised edge
    // keeps it.
    btnMenu->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; border: 2px outset %1; }"
                       "QPushButton:pressed { border-style: inset; }")
            .arg(Appearance::LightBlue.name()));
    connect(btnMenu, &QPushButton::clicked, this, &FormTCPClientMain::btnMenuClick);
    // The button has no caption: its name is the menu it opens, as Space opens it.
    btnMenu->setAccessibleName(QStringLiteral("Menu"));
    btnMenu->setAccessibleDescription(
        QStringLiteral("Connect, Close, Send, InfWSock, LogClear, HistClear"));

    ComboMain = new QComboBox(this);
    ComboMain->setObjectName(QStringLiteral("ComboMain"));
    ComboMain->setEditable(true);
    // The history is ours alone: the box neither adds, sorts nor completes entries by itself.
    ComboMain->setInsertPolicy(QComboBox::NoInsert);
    ComboMain->setCompleter(nullptr);
    Appearance::styleBox(ComboMain, Appearance::LightBlue);
    Appearance::styleBox(ComboMain->lineEdit(), Appearance::LightBlue);
    // The platform decides the combo's height from its font; the layout follows it.
    ComboMain->setFixedHeight(ComboMain->sizeHint().height());
    ComboMain->installEventFilter(this);
    for (QWidget *entry : std::initializer_list<QWidget *>{ComboMain, ComboMain->lineEdit()}) {
        entry->setAccessibleName(QStringLiteral("Line"));
        entry->setAccessibleDescription(
            QStringLiteral("Enter sends it; the list holds the lines sent, newest first"));
    }
    ComboMain->lineEdit()->installEventFilter(this);
    ComboMain->view()->setAccessibleName(QStringLiteral("History"));

    setTabOrder(TextLog, btnMenu);
    setTabOrder(btnMenu, ComboMain);
}

void FormTCPClientMain::createMenu()
{
    // Shown only as a pop-up from btnMenu; the window has no menu bar.
    mnuMenu = new QMenu(QStringLiteral("Menu"), this);
    mnuMenu->setObjectName(QStringLiteral("mnuMenu"));
    mnuMenu->setAccessibleName(mnuMenu->title());

    const auto addItem = [this](const char *name, const char *caption,
                                void (FormTCPClientMain::*command)()) {
        QAction *action = mnuMenu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, command);
    };
    addItem("mnuConnect", "Connect", &FormTCPClientMain::mnuConnectClick);
    addItem("mnuClose", "Close", &FormTCPClientMain::mnuCloseClick);
    addItem("mnuSend", "Send", &FormTCPClientMain::mnuSendClick);
    addItem("mnuInfWSock", "InfWSock", &FormTCPClientMain::mnuInfWSockClick);
    mnuMenu->addSeparator()->setObjectName(QStringLiteral("mnuHR01"));
    addItem("mnuLogClear", "LogClear", &FormTCPClientMain::mnuLogClearClick);
    addItem("mnuHistClear", "HistClear", &FormTCPClientMain::mnuHistClearClick);
}

void FormTCPClientMain::placeControls()
{
    const ClientLayout::Placement current{Appearance::pixelsToTwips(TextLog->geometry()),
                                          Appearance::pixelsToTwips(btnMenu->geometry()),
                                          Appearance::pixelsToTwips(ComboMain->geometry())};
    const ClientLayout::Placement next =
        ClientLayout::place(Appearance::pixelsToTwips(width()), Appearance::pixelsToTwips(height()),
                            Appearance::pixelsToTwips(ComboMain->height()), current);
    TextLog->setGeometry(Appearance::twipsToPixels(next.textLog));
    btnMenu->setGeometry(Appearance::twipsToPixels(next.btnMenu));
    ComboMain->setGeometry(Appearance::twipsToPixels(next.comboMain));
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
        mnuSendClick();
    } else if (watched == ComboMain && event->type() == QEvent::KeyPress) {
        if (isReturn(event) && event != returnFromLineEdit)
            mnuSendClick();
        returnFromLineEdit = nullptr;
    }
    return QWidget::eventFilter(watched, event);
}

void FormTCPClientMain::closeEvent(QCloseEvent *event)
{
    // The close at the end of a confirmed close sequence asks nothing. Such a sequence may also
    // end while the box is up: the window was to close anyway.
    bool confirmed = true;
    if (closeState != CloseState::WindowClosing)
        confirmed = Dialogs::confirmClose(this);
    if (closeState == CloseState::WindowClosing) {
        closeState = CloseState::Idle;
        event->accept();
        return;
    }
    if (!confirmed) {
        event->ignore();
        return;
    }
    closeSequence(CloseEvent::WindowClose);
    // Awaiting the echo, the window closes when the wait is over.
    if (closeState == CloseState::AwaitingEchoThenWindow)
        event->ignore();
    else
        event->accept();
}

void FormTCPClientMain::mnuConnectClick()
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
        if (strHandle.size() <= MaxHandleLength)
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
    // A new connection replaces the one being logged out of: its close sequence ends first.
    closeSequence(CloseEvent::NewConnection);
    CWS_TCP_C->Connect(strHost, port.value);
}

void FormTCPClientMain::mnuCloseClick()
{
    closeSequence(CloseEvent::MenuClose);
}

// The close sequence: the logout line goes out, and the connection is closed once it has come
// back. No echo can come without a connection, once the connection has ended, or from a server
// that does not relay, so those end the wait as well. A line sent meanwhile is the one whose
// echo ends it; a second Close sends its own logout line and waits the full time again.
void FormTCPClientMain::closeSequence(CloseEvent event)
{
    switch (event) {
    case CloseEvent::MenuClose:
    case CloseEvent::WindowClose:
        SendLine(ChatLine::logoutText());
        if (closeState == CloseState::WindowClosing)
            return; // the window goes, and the connection with it
        if (CWS_TCP_C->ID() != 0) {
            if (event == CloseEvent::WindowClose)
                closeState = CloseState::AwaitingEchoThenWindow;
            else if (closeState == CloseState::Idle)
                closeState = CloseState::AwaitingEcho;
            echoWait.start();
            return;
        }
        // No echo can come. A window closing now closes at once, by its close event.
        if (event == CloseEvent::WindowClose)
            closeState = CloseState::Idle;
        break;
    case CloseEvent::EchoReceived:
    case CloseEvent::ConnectionGone:
    case CloseEvent::TimedOut:
    case CloseEvent::NewConnection:
        if (closeState != CloseState::AwaitingEcho &&
            closeState != CloseState::AwaitingEchoThenWindow)
            return;
        break;
    }
    // The wait is over (or there was none): the connection closes, and the window with it when
    // it was closing.
    echoWait.stop();
    CWS_TCP_C->Close();
    if (closeState == CloseState::AwaitingEchoThenWindow) {
        closeState = CloseState::WindowClosing;
        closeWhenNoBox();
    } else if (closeState == CloseState::AwaitingEcho) {
        closeState = CloseState::Idle;
    }
}

// The handler that opened a box is still running underneath it, so the window must outlive the
// box: while one is up, the close waits for it.
void FormTCPClientMain::closeWhenNoBox()
{
    if (closeState != CloseState::WindowClosing)
        return; // a close event taken since has closed the window already
    if (QApplication::activeModalWidget()) {
        QTimer::singleShot(BoxPollMs, this, &FormTCPClientMain::closeWhenNoBox);
        return;
    }
    close();
}

void FormTCPClientMain::mnuSendClick()
{
    const QString text = ComboMain->currentText();
    SendLine(text);
    const QString top = ComboMain->count() > 0 ? ComboMain->itemText(0) : QString();
    if (text != top)
        ComboMain->insertItem(0, text);
    ComboMain->setEditText(QString());
}

void FormTCPClientMain::mnuInfWSockClick()
{
    CWS_TCP_C->setInfoWSock(!CWS_TCP_C->InfoWSock());
}

void FormTCPClientMain::mnuLogClearClick()
{
    TextLog->clear();
}

void FormTCPClientMain::mnuHistClearClick()
{
    ComboMain->clear();
    ComboMain->clearEditText();
}

void FormTCPClientMain::btnMenuClick()
{
    mnuMenu->popup(QCursor::pos());
}

void FormTCPClientMain::clientConnect()
{
    SendLine(ChatLine::loginText());
    const QString ip = CWS_TCP_C->IP();
    const qint32 port = CWS_TCP_C->Port();
    setWindowTitle(literalTitle(u'[' + strHandle + u':' + ip + u':' + QString::number(port) +
                                QStringLiteral("] - ") + Caption));
}

void FormTCPClientMain::clientConnectClose()
{
    Dialogs::messageBox(QStringLiteral("切断されました。"), Dialogs::Buttons::Ok, this);
    closeSequence(CloseEvent::ConnectionGone);
}

void FormTCPClientMain::clientConnectError()
{
    Dialogs::messageBox(QStringLiteral("接続に失敗しました。"), Dialogs::Buttons::Ok, this);
    closeSequence(CloseEvent::ConnectionGone);
}

void FormTCPClientMain::clientGetData(QString &rstrData)
{
    TextLog->appendText(rstrData);
    TextLog->setCaretPosition(std::max<qsizetype>(0, TextLog->length() - 1));
    if (ChatLine::isEcho(rstrData, strLastLine))
        blnWaitEcho = false;
    if (!blnWaitEcho)
        closeSequence(CloseEvent::EchoReceived);
}

void FormTCPClientMain::SendLine(const QString &text)
{
    const qint32 id = CWS_TCP_C->ID();
    strLastLine = ChatLine::build(id, strHandle, text);
    blnWaitEcho = true;
    CWS_TCP_C->SendData(strLastLine);
}
