#include "platform/win/windevicesource.h"

WinDeviceSource::WinDeviceSource(QObject *parent) : DeviceEventSource(parent) {}

WinDeviceSource::~WinDeviceSource() = default;

bool WinDeviceSource::registerWindow(quintptr nativeWindow)
{
    m_registration.registerWindow(reinterpret_cast<HWND>(nativeWindow));
    return m_registration.refused().empty();
}

void WinDeviceSource::handleNativeEvent(const QByteArray &eventType, void *message)
{
    if (message == nullptr || eventType != "windows_generic_MSG")
        return;
    const MSG *msg = static_cast<const MSG *>(message);
    const std::optional<winnotify::DeviceChange> change =
        winnotify::decodeDeviceChange(msg->message, msg->wParam, msg->lParam);
    if (!change)
        return;
    const QString name = QString::fromWCharArray(change->name.data(), int(change->name.size()));
    emit deviceEvent(change->kind == winnotify::DeviceChangeKind::Arrival ? Kind::Arrival : Kind::Removal,
                     name);
}

// Windows reports the interfaces the window registered for; the window's own
// name filter picks the device.
DeviceEventSource *createPlatformDeviceSource(const UsbDeviceId &, QObject *parent)
{
    return new WinDeviceSource(parent);
}
