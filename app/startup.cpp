#include "app/startup.h"

#include "common/toolcontract.h"

#include <QOperatingSystemVersion>

#include <ostream>

namespace Startup {

FirstWindow firstWindowFor(const QString &burnType)
{
    if (burnType == QLatin1String("Single"))
        return FirstWindow::Single;
    if (burnType == QLatin1String("Multiple"))
        return FirstWindow::Multiple;
    return FirstWindow::Selection;
}

bool needsCompatLayer(const QOperatingSystemVersion &version)
{
    // Comparisons across system types are false, so other systems never qualify.
    if (version >= QOperatingSystemVersion::Windows10)
        return false;
    return version >= QOperatingSystemVersion::Windows7;
}

QByteArray compatValueName(const QString &currentDir)
{
    QString name = currentDir + QLatin1Char('/') + QLatin1String(ToolContract::kConfigFolder) +
                   QLatin1Char('/') + QLatin1String(ToolContract::kExecutable);
    name.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return name.toUtf8();
}

bool runCompatStep(const QOperatingSystemVersion &version, const QString &currentDir,
                   const CompatWriter &writer, std::ostream &out, std::ostream &err)
{
    if (!needsCompatLayer(version))
        return false;
    const QByteArray valueName = compatValueName(currentDir);
    if (writer(valueName.constData(), kCompatData))
        out << "Compatibility mode set successfully." << std::endl;
    else
        err << "Failed to set compatibility mode." << std::endl;
    return true;
}

} // namespace Startup
