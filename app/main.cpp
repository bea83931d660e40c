#include "app/boardconfig.h"
#include "app/startup.h"
#include "app/windowfactory.h"
#include "platform/appcompat.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QOperatingSystemVersion>
#include <QSettings>

#include <iostream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    Startup::runCompatStep(QOperatingSystemVersion::current(), QDir::currentPath(), &setAppCompatLayer,
                           std::cout, std::cerr);

    const QString configPath = BoardConfig::path();
    qDebug() << configPath;
    // Stays open until the event loop has returned.
    auto config = std::make_unique<QSettings>(configPath, QSettings::IniFormat);
    config->beginGroup(QStringLiteral("Burn_Type"));
    const QString burnType = config->value(QStringLiteral("Burn_Type")).toString();
    config->endGroup();
    qDebug() << "burn type: " << burnType;

    std::unique_ptr<QWidget> window = createFirstWindow(Startup::firstWindowFor(burnType));
    window->show();

    const int result = app.exec();
    config.reset();
    return result;
}
