#pragma once

#include <QPixmap>
#include <QWidget>

#include <array>

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
    explicit FormMain(QWidget *parent = nullptr);

    void setVisible(bool visible) override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void load();
    void btnChoise_Click(int Index);
    void ShowInformation(QString strText);

    QPixmap m_picture;
    std::array<QPushButton *, 4> btnChoise{};
    QLabel *LabelVer = nullptr;
    QLabel *LabelInformation = nullptr;
    bool m_loaded = false;
};
