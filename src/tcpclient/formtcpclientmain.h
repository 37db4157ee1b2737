#pragma once

#include <QWidget>

class CWS_TCP_C;
class LogPane;
class QComboBox;
class QMenu;
class QPushButton;

// The TCP chat client: connects under a handle name, sends the lines typed into ComboMain,
// shows everything the server relays in TextLog, and logs out before it closes the
// connection.
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

    void connectDialogue();
    void closeSequence();
    void send();
    void toggleInfoWSock();
    void clearLog();
    void clearHistory();
    void popUpMenu();

    void onConnect();
    void onConnectClose();
    void onConnectError();
    void onGetData(QString &rstrData);

    void SendLine(const QString &text);
    bool awaitEcho();

    QString strHost;
    QString strPort;
    QString strHandle;
    QString strLastLine;
    bool blnWaitEcho = false;

    CWS_TCP_C *tcpClient = nullptr;

    LogPane *TextLog = nullptr;
    QPushButton *btnMenu = nullptr;
    QComboBox *ComboMain = nullptr;
    QMenu *mnuMenu = nullptr;

    quint64 connectionEnds = 0; // ConnectClose and ConnectError seen so far
    const QEvent *returnFromLineEdit = nullptr;
};
