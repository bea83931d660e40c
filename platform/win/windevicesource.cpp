#include "platform/win/windevicesource.h"

#include <QDebug>

WinDeviceSource::WinDeviceSource(QObject *parent) : DeviceEventSource(parent) {}

WinDeviceSource::~WinDeviceSource() = default;

bool WinDeviceSource::registerWindow(quintptr nativeWindow)
{
    m_registration.registerWindow(reinterpret_cast<HWND>(nativeWindow));
    // One critical line per refused class, written here so the caller need
    // not; the window goes on without notifications for that class.
    for (size_t i = 0; i < m_registration.refused().size(); ++i)
        qCritical().noquote() << QStringLiteral("\u6CE8\u518C\u5931\u8D25\uFF01"); // 注册失败！
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

DeviceEventSource *createPlatformDeviceSource(QObject *parent)
{
    return new WinDeviceSource(parent);
}
