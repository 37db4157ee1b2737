#pragma once

#include <QWidget>

// Placeholder until the window is built; the start-up routine opens it.
class FormTCPServerMain final : public QWidget
{
    Q_OBJECT

public:
    explicit FormTCPServerMain(QWidget *parent = nullptr) : QWidget(parent) {}
};
