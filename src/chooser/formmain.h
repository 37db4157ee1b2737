#pragma once

#include "windowmode.h"

#include <QPixmap>
#include <QWidget>

#include <array>
#include <functional>

class QLabel;
class QPushButton;

// The borderless mode chooser shown when the program starts without arguments: a picture with
// one button per mode and a Cancel button. Choosing a mode opens that window, then the chooser
// closes itself.
class FormMain final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FormMain)

public:
    // How the chooser opens the mode window of a button without knowing the windows: the
    // start-up hands it the program's window opener.
    struct Opener
    {
        // A new window of the mode; its initialisation runs.
        std::function<QWidget *(WindowMode mode)> create;
        // Shows the window so created; its load work runs inside.
        std::function<void(QWidget *window)> show;
    };

    explicit FormMain(Opener opener, QWidget *parent = nullptr);

    // The first showing loads the window (version text, centre, focus on Cancel) before it
    // appears.
    void setVisible(bool visible) override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void load();
    void btnChoiseClick(int Index);
    void ShowInformation(QString strText);

    Opener m_opener;
    QPixmap m_picture;
    std::array<QPushButton *, 4> btnChoise{};
    QLabel *LabelVer = nullptr;
    QLabel *LabelInformation = nullptr;
    bool m_loaded = false;
};
