#include "formudpmain.h"

#include "appearance.h"
#include "application.h"
#include "cws_udp.h"
#include "datetimetexts.h"
#include "dialogs.h"
#include "logpane.h"
#include "udpblock.h"

#include <QCloseEvent>
#include <QLayout>
#include <QMenuBar>
#include <QPlainTextEdit>

#include <utility>

namespace {

// Each window receives on the first port and sends to the second; the sending object uses
// them swapped, so a window aimed at "localhost" gets its own blocks back and two windows
// aimed at each other talk.
constexpr qint32 PortA = 777;
constexpr qint32 PortB = 778;

const QString InitialRemote = QStringLiteral("localhost");

// Inner area when the window opens, in twips.
constexpr double ClientWidthTwips = 4455;
constexpr double ClientHeightTwips = 2295;

// A caption that shows user data must never turn into a keyboard accelerator.
QString literalCaption(QString text)
{
    return text.replace(u'&', QStringLiteral("&&"));
}

} // namespace

FormUDPMain::FormUDPMain(QWidget *parent)
    : QMainWindow(parent, Qt::Tool), CWS_UDP_S(new CWS_UDP(this)), CWS_UDP_C(new CWS_UDP(this))
{
    CWS_UDP_S->setObjectName(QStringLiteral("CWS_UDP_S"));
    CWS_UDP_C->setObjectName(QStringLiteral("CWS_UDP_C"));
    connect(CWS_UDP_S, &CWS_UDP::GetData, this, &FormUDPMain::receivingGetData);

    // A tool window does not keep the program running by default; this one is a mode window
    // like the others, and the program ends when the last of them closes.
    setAttribute(Qt::WA_QuitOnClose, true);
    setWindowTitle(QStringLiteral("UDP"));
    setWindowIcon(Application::icon());

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(client);
    client->installEventFilter(this);

    TextLog = new LogPane(client);
    TextLog->setObjectName(QStringLiteral("TextLog"));
    TextLog->setGeometry(Appearance::twipsToPixels(QRectF(105, 60, 4290, 1080)));
    Appearance::styleBox(TextLog, Appearance::LightOrange);
    TextLog->setAccessibleName(QStringLiteral("Log"));
    TextLog->setAccessibleDescription(QStringLiteral("The last block received"));

    TextMain = new QPlainTextEdit(client);
    TextMain->setObjectName(QStringLiteral("TextMain"));
    TextMain->setGeometry(Appearance::twipsToPixels(QRectF(90, 1170, 4290, 1080)));
    TextMain->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Appearance::styleBox(TextMain, Appearance::LightOrange);
    TextMain->setAccessibleName(QStringLiteral("Text"));
    TextMain->setAccessibleDescription(QStringLiteral("Send sends it as one block"));

    setTabOrder(TextMain, TextLog);
    TextMain->setFocus();

    QMenuBar *bar = menuBar();
    mnuSend = bar->addAction(QStringLiteral("Send"));
    mnuSend->setObjectName(QStringLiteral("mnuSend"));
    mnuReSet = bar->addAction(QStringLiteral("ReSet"));
    mnuReSet->setObjectName(QStringLiteral("mnuReSet"));
    mnuMin = bar->addAction(QStringLiteral("Min"));
    mnuMin->setObjectName(QStringLiteral("mnuMin"));
    mnuClose = bar->addAction(QStringLiteral("Close"));
    mnuClose->setObjectName(QStringLiteral("mnuClose"));

    connect(mnuSend, &QAction::triggered, this, &FormUDPMain::mnuSendClick);
    connect(mnuReSet, &QAction::triggered, this, &FormUDPMain::mnuReSetClick);
    connect(mnuMin, &QAction::triggered, this, &FormUDPMain::mnuMinClick);
    connect(mnuClose, &QAction::triggered, this, &FormUDPMain::mnuCloseClick);
}

FormUDPMain::~FormUDPMain()
{
    // Released as created, the receiving object first; whatever they raise on the way out
    // must not reach a window that is half gone.
    for (CWS_UDP *endpoint : {CWS_UDP_S, CWS_UDP_C}) {
        endpoint->disconnect(this);
        delete endpoint;
    }
}

void FormUDPMain::setVisible(bool visible)
{
    if (visible && !std::exchange(m_loaded, true))
        load();
    QMainWindow::setVisible(visible);
}

void FormUDPMain::load()
{
    CWS_UDP_S->Connect(InitialRemote, PortA, PortB);
    SetRemoteIP(InitialRemote);
    // After the caption change, which may have changed the menu bar's height.
    fitClientArea();
}

void FormUDPMain::SetRemoteIP(const QString &strAddress)
{
    strRemoteIP = strAddress;
    CWS_UDP_C->Connect(strRemoteIP, PortB, PortA);
    mnuReSet->setText(QStringLiteral("RIP:") + literalCaption(strRemoteIP));
}

// Sizes the window so that the area under the menu bar has its opening size.
void FormUDPMain::fitClientArea()
{
    const QSize wanted(Appearance::twipsToPixels(ClientWidthTwips),
                       Appearance::twipsToPixels(ClientHeightTwips));
    resize(wanted);
    // An activated layout ignores activate() until invalidated; the menu bar's height at this
    // width is what is needed.
    layout()->invalidate();
    layout()->activate();
    resize(size() + (wanted - centralWidget()->size()));
}

void FormUDPMain::layOut()
{
    const QSize inner = centralWidget()->size();
    const double half = inner.height() / 2.0;

    TextLog->setGeometry(0, 0, inner.width(), half > 0 ? qRound(half) : TextLog->height());
    TextMain->setGeometry(0, TextLog->y() + TextLog->height(), inner.width(),
                          half > 0 ? qRound(half) : TextMain->height());
}

void FormUDPMain::receivingGetData(QString &rstrData)
{
    TextLog->setText(UdpBlock::receivedDisplay(DateTimeTexts::now(), rstrData));
}

void FormUDPMain::mnuSendClick()
{
    const QString strIP = CWS_UDP_C->IP();
    const DateTimeTexts::Stamp stamp = DateTimeTexts::now();
    const QString strText = UdpBlock::entryText(TextMain->document()->toRawText());
    QString strBlock = UdpBlock::build(strIP, stamp, strText);
    CWS_UDP_C->SendData(strBlock);
}

void FormUDPMain::mnuReSetClick()
{
    const QString strAnswer = Dialogs::inputBox(QStringLiteral("Remote IP ?"), strRemoteIP, this);
    if (strAnswer.isEmpty())
        return;
    SetRemoteIP(strAnswer);
}

void FormUDPMain::mnuMinClick()
{
    showMinimized();
}

void FormUDPMain::mnuCloseClick()
{
    close();
}

void FormUDPMain::closeEvent(QCloseEvent *event)
{
    if (!Dialogs::confirmClose(this)) {
        event->ignore();
        return;
    }
    CWS_UDP_S->Close();
    CWS_UDP_C->Close();
    event->accept();
}

void FormUDPMain::changeEvent(QEvent *event)
{
    // A restored window may come back without a resize; its boxes are laid out again anyway.
    if (event->type() == QEvent::WindowStateChange)
        layOut();
    QMainWindow::changeEvent(event);
}

bool FormUDPMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == centralWidget() && event->type() == QEvent::Resize)
        layOut();
    return QMainWindow::eventFilter(watched, event);
}
