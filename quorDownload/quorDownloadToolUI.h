#pragma once

#include <QMainWindow>

// Placeholder: the single-board window.
class quorDownloadToolUI : public QMainWindow
{
    Q_OBJECT
public:
    explicit quorDownloadToolUI(QWidget *parent = nullptr);
};
