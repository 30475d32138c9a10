#include "device/ftdi/usbhotplug.h"

#include "device/ftdi/ftdidevicelibrary.h"
#include "log/debugtrace.h"

#include <libusb-1.0/libusb.h>

namespace {

constexpr int FtdiVendorId = 0x0403;
// How long one libusb_handle_events call waits; deregistering the callback
// wakes it sooner.
constexpr int EventWaitUs = 250 * 1000;

int LIBUSB_CALL notice(libusb_context *, libusb_device *device, libusb_hotplug_event event,
                       void *self)
{
    const quint32 location = usbLocationOf(device);
    DebugTrace() << (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? "USB arrival at"
                                                                  : "USB departure from")
                 << QString::number(location, 16);
    emit static_cast<UsbHotplug *>(self)->changed(location);
    return 0; // stays registered
}

} // namespace

UsbHotplug *UsbHotplug::start(QObject *parent)
{
    libusb_context *context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS) {
        DebugTrace() << "no libusb hotplug: libusb_init failed";
        return nullptr;
    }
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        DebugTrace() << "no libusb hotplug on this platform";
        libusb_exit(context);
        return nullptr;
    }
    auto *notices = new UsbHotplug(parent, context, 0);
    libusb_hotplug_callback_handle handle = 0;
    const int registered = libusb_hotplug_register_callback(
        context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
        LIBUSB_HOTPLUG_NO_FLAGS, FtdiVendorId, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        notice, notices, &handle);
    if (registered != LIBUSB_SUCCESS) {
        DebugTrace() << "no libusb hotplug:" << libusb_error_name(registered);
        notices->context = nullptr;
        delete notices;
        libusb_exit(context);
        return nullptr;
    }
    notices->callback = handle;
    notices->events = std::thread(&UsbHotplug::handleEvents, notices);
    return notices;
}

UsbHotplug::UsbHotplug(QObject *parent, libusb_context *context, int callback)
    : ArrivalNotices(parent), context(context), callback(callback)
{
}

UsbHotplug::~UsbHotplug()
{
    if (!context)
        return;
    stopping = true;
    libusb_hotplug_deregister_callback(context, callback); // wakes the thread
    if (events.joinable())
        events.join();
    libusb_exit(context);
}

void UsbHotplug::handleEvents()
{
    while (!stopping) {
        timeval wait { 0, EventWaitUs };
        libusb_handle_events_timeout_completed(context, &wait, nullptr);
    }
}
