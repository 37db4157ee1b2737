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
// (a state and a timer), the window going on working meanwhile.
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
    void endEchoWait();
    void closeWhenNoBox();

    QString strHost;
    QString strPort;
    QString strHandle;
    QString strLastLine;
    bool blnWaitEcho = false;

    // Child of the window; the destructor releases it first, once its events are cut off.
    ::CWS_TCP_C *CWS_TCP_C = nullptr;

    LogPane *TextLog = nullptr;
    QPushButton *btnMenu = nullptr;
    QComboBox *ComboMain = nullptr;
    QMenu *mnuMenu = nullptr;

    // The close sequence's wait for the echo of the logout line: running while the timer runs.
    QTimer echoWait;
    bool closeAfterWait = false; // the window was closing when the wait began
    bool closeConfirmed = false; // the wait is over; the window closes without asking again
    const QEvent *returnFromLineEdit = nullptr;
};
