#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QWidget;

// What the platform tells of FTDI devices arriving and leaving, as soon as
// it happens: libusb's hotplug events on Linux, the window's device-change
// messages on Windows. Only a hint to look at the device list now; the
// list, refreshed on a timer as well, stays the truth. A notice can come
// twice for one arrival.
class ArrivalNotices : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    // For the log: "libusb hotplug", "Windows device-change notices".
    virtual QString path() const = 0;

signals:
    // `location` as the device library gives it, 0 when the notice does
    // not say.
    void changed(quint32 location);
};

// Starts the notices a device library has, as the window's child; null
// where the platform tells nothing, and then the list's refresh alone
// notices arrivals.
using ArrivalWatch = std::function<ArrivalNotices *(QWidget &window)>;
