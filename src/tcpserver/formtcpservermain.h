#pragma once

#include <QMainWindow>

class CWS_TCP_S;
class LogPane;

// The TCP chat server: asks for a port when first shown, listens on it, hands every received
// text straight back to all connections, logs it, and shows the server's state in the caption.
class FormTCPServerMain final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FormTCPServerMain)

public:
    explicit FormTCPServerMain(QWidget *parent = nullptr);
    ~FormTCPServerMain() override;

    // The first showing loads the window (port question, Listen, caption) before it appears,
    // so that show() from the start-up routine or the chooser does it.
    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void load();

    void serverGetData(qint32 &Index, QString &rstrData);
    void serverServiceComplete(bool vblnFlag, qint32 &Index);
    void serverServiceError(qint32 &Index);

    void mnuCloseClick();
    void mnuConnectCloseClick();
    void mnuInfoWSockClick();
    void mnuLogClearClick();

    // The component object, named CWS_TCP_S. Child of the window; the destructor releases it
    // first, once its events are cut off.
    ::CWS_TCP_S *CWS_TCP_S = nullptr;
    LogPane *TextLog = nullptr;
    bool m_loaded = false;
};
