#pragma once

#include <QMainWindow>
#include <QString>

class CWS_UDP;
class LogPane;
class QAction;
class QPlainTextEdit;

// The UDP messenger: sends the entry box's text as one framed block to the remote address on
// the fixed port pair and shows the latest block that arrived. The remote address starts as
// "localhost", so a fresh window receives its own blocks.
class FormUDPMain final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FormUDPMain)

public:
    explicit FormUDPMain(QWidget *parent = nullptr);
    ~FormUDPMain() override;

    // The first showing loads the window (opens both endpoints) before it appears, so that
    // show() from the start-up routine or the chooser does it.
    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void load();
    void SetRemoteIP(const QString &strAddress);
    void fitClientArea();
    void layOut();

    void receivingGetData(QString &rstrData);
    void mnuSendClick();
    void mnuReSetClick();
    void mnuMinClick();
    void mnuCloseClick();

    // Children of the window, the receiving object first: it is created first, closed first
    // and released first (see the destructor), once its events are cut off.
    CWS_UDP *CWS_UDP_S = nullptr;
    CWS_UDP *CWS_UDP_C = nullptr;
    QString strRemoteIP;

    LogPane *TextLog = nullptr;
    QPlainTextEdit *TextMain = nullptr;
    QAction *mnuSend = nullptr;
    QAction *mnuReSet = nullptr;
    QAction *mnuMin = nullptr;
    QAction *mnuClose = nullptr;
    bool m_loaded = false;
};
