#include "multi/devicefilter.h"

#include "common/toolcontract.h"

#include <QLatin1String>
#include <QStringList>

namespace {
constexpr int kIdLength = 4;
}

bool isDownloadDeviceName(const QString &name)
{
    if (name.isEmpty())
        return false;
    if (name.contains(QLatin1String("USBSTOR")))
        return false;

    // \\?\USB#VID_7352&PID_1000#serial#{class}: the ids sit in the second
    // "#" part, vendor in its first "&" part, product in its second. Hubs and
    // other interfaces may have fewer parts; they are not the download device.
    const QStringList hashParts = name.split(QLatin1Char('#'));
    if (hashParts.size() < 2)
        return false;
    const QStringList idParts = hashParts.at(1).split(QLatin1Char('&'));
    if (idParts.size() < 2)
        return false;
    return idParts.at(0).right(kIdLength) == QLatin1String(ToolContract::kVendorId) &&
           idParts.at(1).right(kIdLength) == QLatin1String(ToolContract::kProductId);
}
