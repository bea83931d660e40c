#pragma once

#include <QWidget>

// Placeholder: the mode selection window.
class quor_combine : public QWidget
{
    Q_OBJECT
public:
    explicit quor_combine(QWidget *parent = nullptr);
};
