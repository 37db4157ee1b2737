#pragma once

#include <QTimer>
#include <QWidget>

class CWS_TCP_C;
class LogPane;
class QComboBox;
class QMenu;
class QPushButton;

// The TCP chat client: connects under a handle name, sends the lines typed into ComboMain,
// shows everything the server relays in TextLog, and logs out before it closes the
// connection: the close sequence sends the logout line and waits for its echo without blocking
// (CloseState and a timer), the window going on working meanwhile.
class FormTCPClientMain final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FormTCPClientMain)

public:
    explicit FormTCPClientMain(QWidget *parent = nullptr);
    ~FormTCPClientMain() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void createMenu();
    void placeControls();

    void mnuConnectClick();
    void mnuCloseClick();
    void mnuSendClick();
    void mnuInfWSockClick();
    void mnuLogClearClick();
    void mnuHistClearClick();
    void btnMenuClick();

    void clientConnect();
    void clientConnectClose();
    void clientConnectError();
    void clientGetData(QString &rstrData);

    void SendLine(const QString &text);

    // Where the close sequence stands: not running; waiting for the echo of the logout line,
    // with the window to stay open or to close when the wait is over; or over, with the window
    // closing as soon as no box of ours is up.
    enum class CloseState { Idle, AwaitingEcho, AwaitingEchoThenWindow, WindowClosing };
    // What can happen to it: a Close from the menu, a close of the window confirmed in its box,
    // and the things that end a wait (the echo, the end or failure of the connection, the time
    // limit, a new connection taking over).
    enum class CloseEvent {
        MenuClose,
        WindowClose,
        EchoReceived,
        ConnectionGone,
        TimedOut,
        NewConnection
    };
    void closeSequence(CloseEvent event);
    void closeWhenNoBox();

    QString strHost;
    QString strPort;
    QString strHandle;
    QString strLastLine;
    bool blnWaitEcho = false;

    // The component object, named CWS_TCP_C. Child of the window; the destructor releases it
    // first, once its events are cut off.
    ::CWS_TCP_C *CWS_TCP_C = nullptr;

    LogPane *TextLog = nullptr;
    QPushButton *btnMenu = nullptr;
    QComboBox *ComboMain = nullptr;
    QMenu *mnuMenu = nullptr;

    CloseState closeState = CloseState::Idle;
    QTimer echoWait; // runs while the close sequence awaits the echo
    const QEvent *returnFromLineEdit = nullptr;
};
