#include "device/d2xx/devicechange.h"

#include "log/debugtrace.h"

#include <QCoreApplication>
#include <QWidget>

#include <windows.h>

#include <dbt.h>

namespace {

// GUID_DEVINTERFACE_USB_DEVICE, the interface of every USB device attached
// to a hub, {A5DCBF10-6530-11D2-901F-00C04FB951ED}.
constexpr GUID UsbDeviceInterface
    = { 0xA5DCBF10, 0x6530, 0x11D2, { 0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED } };

bool isUsbDeviceChange(const MSG &msg)
{
    if (msg.message != WM_DEVICECHANGE
        || (msg.wParam != DBT_DEVICEARRIVAL && msg.wParam != DBT_DEVICEREMOVECOMPLETE))
        return false;
    const auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(msg.lParam);
    return header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
}

} // namespace

DeviceChangeNotices *DeviceChangeNotices::start(QWidget &window)
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = UsbDeviceInterface;
    HDEVNOTIFY registration = RegisterDeviceNotificationW(reinterpret_cast<HWND>(window.winId()),
                                                          &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!registration) {
        DebugTrace() << "no device-change notices: RegisterDeviceNotification failed, error"
                     << qint64(GetLastError());
        return nullptr;
    }
    return new DeviceChangeNotices(window, registration);
}

DeviceChangeNotices::DeviceChangeNotices(QWidget &window, void *registration)
    : ArrivalNotices(&window), registration(registration), windowId(window.winId())
{
    QCoreApplication::instance()->installNativeEventFilter(this);
}

DeviceChangeNotices::~DeviceChangeNotices()
{
    QCoreApplication::instance()->removeNativeEventFilter(this);
    UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(registration));
}

bool DeviceChangeNotices::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "windows_generic_MSG")
        return false;
    const MSG &msg = *static_cast<const MSG *>(message);
    if (quintptr(msg.hwnd) != windowId || !isUsbDeviceChange(msg))
        return false;
    DebugTrace() << (msg.wParam == DBT_DEVICEARRIVAL ? "device-change notice: arrival"
                                                     : "device-change notice: removal");
    emit changed(0);
    return false; // Qt and the window see it too
}
