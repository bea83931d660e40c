#pragma once

#include "platform/deviceeventsource.h"
#include "platform/win/devicenotify_win.h"

// Device events on Windows: registers the window for device-interface
// notifications and turns the WM_DEVICECHANGE messages that the window
// forwards into deviceEvent signals.
class WinDeviceSource final : public DeviceEventSource
{
    Q_OBJECT
    Q_DISABLE_COPY(WinDeviceSource)
public:
    explicit WinDeviceSource(QObject *parent = nullptr);
    ~WinDeviceSource() override;

    // False when Windows refused a class; the window writes the diagnostic.
    bool registerWindow(quintptr nativeWindow) override;
    void handleNativeEvent(const QByteArray &eventType, void *message) override;

private:
    winnotify::DeviceNotifyRegistration m_registration;
};
