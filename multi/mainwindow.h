#pragma once

#include <QMainWindow>

// Placeholder: the multi-board window.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
};
