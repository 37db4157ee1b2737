#pragma once

#include <QWidget>

// Placeholder until the window is built; the start-up routine opens it.
class FormTCPClientMain final : public QWidget
{
    Q_OBJECT

public:
    explicit FormTCPClientMain(QWidget *parent = nullptr) : QWidget(parent) {}
};
