#pragma once

#include "device/arrivalnotices.h"

#include <atomic>
#include <thread>

struct libusb_context;

// libusb's hotplug events for FTDI's vendor id, on a libusb context of the
// station's own (each libftdi1 session has its own, and a callback is told
// only of its context's events), handled by a thread of its own. The
// callback does no I/O: it tells the device's location and returns.
class UsbHotplug : public ArrivalNotices {
    Q_OBJECT

public:
    // Null, with the reason in the debug trace, where this libusb cannot
    // tell of arrivals.
    static UsbHotplug *start(QObject *parent);
    ~UsbHotplug() override;
    QString path() const override { return QStringLiteral("libusb hotplug"); }

private:
    UsbHotplug(QObject *parent, libusb_context *context, int callback);
    void handleEvents();

    libusb_context *context;
    int callback; // libusb_hotplug_callback_handle
    std::atomic<bool> stopping { false };
    std::thread events;
};
