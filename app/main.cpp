#include "app/startup.h"
#include "app/windowfactory.h"
#include "common/boardconfig.h"
#include "platform/appcompat.h"
#include "platform/fileops.h"
#include "platform/logging.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QOperatingSystemVersion>

#include <iostream>

int main(int argc, char *argv[])
{
    // A write past the file-size limit must fail like a full disk, not end the program.
    FileOps::ignoreFileSizeSignal();
    enableHighDpiScaling();
    QApplication app(argc, argv);

    Startup::runCompatStep(QOperatingSystemVersion::current(), QDir::currentPath(), &setAppCompatLayer,
                           std::cout, std::cerr);

    const QString configPath = BoardConfig::path();
    qCDebug(lcStartup) << configPath;
    const QString burnType = BoardConfig::readValue(QStringLiteral("Burn_Type"), QStringLiteral("Burn_Type"));
    qCDebug(lcStartup) << "burn type: " << burnType;

    std::unique_ptr<QWidget> window = createFirstWindow(Startup::firstWindowFor(burnType));
    window->show();

    return app.exec();
}
