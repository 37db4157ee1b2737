#pragma once

#include <QWidget>

// Placeholder until the window is built; the start-up routine opens it.
class FormUDPMain final : public QWidget
{
    Q_OBJECT

public:
    explicit FormUDPMain(QWidget *parent = nullptr) : QWidget(parent) {}
};
