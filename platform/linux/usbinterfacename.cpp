#include "platform/linux/usbinterfacename.h"

namespace UsbInterfaceName {

bool isDevice(const QString &vendorId, const QString &productId, const UsbDeviceId &device)
{
    return vendorId.compare(QLatin1String(device.vendor), Qt::CaseInsensitive) == 0 &&
           productId.compare(QLatin1String(device.product), Qt::CaseInsensitive) == 0;
}

static QString sanitized(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        const ushort u = c.unicode();
        if (u <= 0x20 || u >= 0x7F || c == QLatin1Char('#') || c == QLatin1Char('\\'))
            c = QLatin1Char('_');
    }
    return out;
}

QString instanceId(const QString &serial, const QString &sysName, const QString &busNum,
                   const QString &devNum)
{
    if (!serial.isEmpty())
        return sanitized(serial);
    if (!sysName.isEmpty())
        return sanitized(sysName);
    if (!busNum.isEmpty() && !devNum.isEmpty())
        return sanitized(busNum + QLatin1Char('-') + devNum);
    return QStringLiteral("unknown");
}

QString build(const QString &vendorId, const QString &productId, const QString &instance)
{
    return QStringLiteral("\\\\?\\USB#VID_") + vendorId.toUpper() + QStringLiteral("&PID_") +
           productId.toUpper() + QLatin1Char('#') + instance + QLatin1Char('#') +
           QLatin1String(kUsbDeviceClass);
}

} // namespace UsbInterfaceName
