#include "app/windowfactory.h"

#include "app/quor_combine.h"
#include "multi/mainwindow.h"
#include "quorDownload/quorDownloadToolUI.h"

#include <QGuiApplication>

void enableHighDpiScaling()
{
#ifdef Q_OS_WIN
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
}

std::unique_ptr<QWidget> createFirstWindow(Startup::FirstWindow which)
{
    switch (which) {
    case Startup::FirstWindow::Single:
        return std::make_unique<quorDownloadToolUI>();
    case Startup::FirstWindow::Multiple:
        return std::make_unique<MainWindow>();
    case Startup::FirstWindow::Selection:
        break;
    }
    return std::make_unique<quor_combine>();
}
