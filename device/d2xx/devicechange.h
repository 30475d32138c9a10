#pragma once

#include "device/arrivalnotices.h"

#include <QAbstractNativeEventFilter>

class QWidget;

// Windows' device-change messages (WM_DEVICECHANGE) for USB devices, to the
// station's window: RegisterDeviceNotification for the USB device interface
// class, read through Qt's native event filter. A notice names no location.
// Windows only.
class DeviceChangeNotices : public ArrivalNotices, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    // Null where the window cannot be registered.
    static DeviceChangeNotices *start(QWidget &window);
    ~DeviceChangeNotices() override;
    QString path() const override { return QStringLiteral("Windows device-change notices"); }
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    DeviceChangeNotices(QWidget &window, void *registration);

    void *registration; // HDEVNOTIFY
    quintptr windowId;
};
