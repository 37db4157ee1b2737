#pragma once

#include <QWidget>

// Placeholder until the window is built; the start-up routine opens it.
class FormMain final : public QWidget
{
    Q_OBJECT

public:
    explicit FormMain(QWidget *parent = nullptr) : QWidget(parent) {}
};
