// A fake libusb-1.0 with emulated FT232R chips behind it, good enough for the
// real, unmodified libftdi1, ftdi_eeprom and pyusb to list, open, configure,
// read, write and program them. Tests only: linked ahead of libusb, preloaded,
// or loaded by name as a client's libusb.

#include "ft232remulator.h"
#include "bench.h"

#include <libusb-1.0/libusb.h>

#include <QByteArray>

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

using ft232r::bench;
using ft232r::Chip;
using ft232r::Clock;
using ft232r::deadlineAfter;
using ft232r::findChip;
using ft232r::Lock;
using ft232r::Nanos;
using ft232r::plug;
using ft232r::portOf;
using ft232r::sleepUntil;

struct libusb_context {
    int unused;
};

struct libusb_device {
    Chip *chip;
    int address;
    int bus;
    std::vector<uint8_t> ports;
    ft232r::Enumeration enumerated; // cached while the object lives, as libusb does
    int references;
};

struct libusb_device_handle {
    libusb_device *device;
    bool autoDetach = false;
    bool claimed = false;
    bool detachedDriver = false;
};

namespace {

static_assert(int(ft232r::usb::ErrorPipe) == int(LIBUSB_ERROR_PIPE)
                  && int(ft232r::usb::ErrorOverflow) == int(LIBUSB_ERROR_OVERFLOW)
                  && int(ft232r::TransferNoDevice) == int(LIBUSB_ERROR_NO_DEVICE)
                  && int(ft232r::TransferTimeout) == int(LIBUSB_ERROR_TIMEOUT),
              "the chip answers with libusb's codes");

// What the fake libusb keeps beside the bench: device objects and handles.
struct UsbState {
    std::vector<libusb_device *> devices; // every device object still referenced
    int openHandles = 0;
    int opens = 0;
};

UsbState &usb()
{
    static UsbState *instance = new UsbState; // outlives every user, even at exit
    return *instance;
}
// Hotplug callbacks and the events queued for them. An event is queued as
// the chip arrives or leaves and delivered by the context's
// libusb_handle_events*, as libusb does.
struct Hotplug {
    struct Callback {
        libusb_context *context;
        libusb_hotplug_callback_handle handle;
        int events, vendorId, productId, deviceClass;
        libusb_hotplug_callback_fn callback;
        void *userData;
    };
    struct Event {
        libusb_context *context;
        libusb_hotplug_callback_handle handle;
        libusb_device *device; // referenced until delivered
        libusb_hotplug_event event;
    };
    std::mutex mutex; // after the bench's, never held around a callback
    std::condition_variable wake;
    std::vector<Callback> callbacks;
    std::deque<Event> pending;
    int nextHandle = 1;
    int deregistered = 0;
};

Hotplug &hotplug()
{
    static Hotplug *instance = new Hotplug;
    return *instance;
}

libusb_device *deviceFor(Chip &chip);

// With the bench's lock and the hotplug lock held.
void queueHotplug(const Hotplug::Callback &c, Chip &chip, libusb_hotplug_event event)
{
    const auto matches = [](int wanted, int value) {
        return wanted == LIBUSB_HOTPLUG_MATCH_ANY || wanted == value;
    };
    if (!(c.events & event) || !matches(c.vendorId, chip.enumerated.vendorId)
        || !matches(c.productId, chip.enumerated.productId) || !matches(c.deviceClass, 0))
        return;
    libusb_device *device = deviceFor(chip);
    ++device->references;
    hotplug().pending.push_back({ c.context, c.handle, device, event });
}

void tellHotplug(Chip &chip, bool arrived)
{
    std::lock_guard<std::mutex> guard(hotplug().mutex);
    for (const Hotplug::Callback &c : hotplug().callbacks)
        queueHotplug(c, chip,
                     arrived ? LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED
                             : LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    hotplug().wake.notify_all();
}

[[maybe_unused]] const bool hotplugListening = (ft232r::plugListener = tellHotplug, true);

// With the hotplug lock held: the callback gone, and the context's event
// handling woken, as libusb does.
void forgetCallback(libusb_context *context, libusb_hotplug_callback_handle handle)
{
    auto &callbacks = hotplug().callbacks;
    callbacks.erase(std::remove_if(callbacks.begin(), callbacks.end(),
                                   [&](const Hotplug::Callback &c) {
                                       return c.context == context && c.handle == handle;
                                   }),
                    callbacks.end());
    ++hotplug().deregistered;
    hotplug().wake.notify_all();
}

// The context's queued events, each to its callback (deregistered when it
// returns 1), waiting for the first until `until` or a deregistration.
void deliverHotplug(libusb_context *context, Clock::time_point until)
{
    std::unique_lock<std::mutex> lock(hotplug().mutex);
    const int deregistered = hotplug().deregistered;
    const auto mine = [&] {
        return std::any_of(hotplug().pending.begin(), hotplug().pending.end(),
                           [&](const Hotplug::Event &e) { return e.context == context; });
    };
    hotplug().wake.wait_until(lock, until,
                              [&] { return mine() || hotplug().deregistered != deregistered; });
    std::deque<Hotplug::Event> due;
    auto &pending = hotplug().pending;
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->context == context) {
            due.push_back(*it);
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
    for (const Hotplug::Event &e : due) {
        auto &callbacks = hotplug().callbacks;
        auto c = std::find_if(callbacks.begin(), callbacks.end(), [&](const Hotplug::Callback &c) {
            return c.context == context && c.handle == e.handle;
        });
        if (c != callbacks.end()) {
            const Hotplug::Callback callback = *c;
            lock.unlock();
            const int done = callback.callback(context, e.device, e.event, callback.userData);
            lock.lock();
            if (done == 1)
                forgetCallback(context, e.handle);
        }
        lock.unlock();
        libusb_unref_device(e.device);
        lock.lock();
    }
}

// The port reset signalling alone lasts at least 10 ms.
constexpr Nanos PortResetTime = std::chrono::milliseconds(10);

Chip *liveChip(const libusb_device *device)
{
    Chip *chip = device ? device->chip : nullptr;
    return chip && chip->plugged && chip->address == device->address ? chip : nullptr;
}

Chip *liveChip(const libusb_device_handle *handle)
{
    return handle ? liveChip(handle->device) : nullptr;
}

libusb_device *deviceFor(Chip &chip)
{
    for (libusb_device *device : usb().devices) {
        if (device->chip == &chip && device->address == chip.address)
            return device;
    }
    auto *device = new libusb_device { &chip,           chip.address,
                                       chip.bus,        ft232r::portPathOf(chip),
                                       chip.enumerated, 0 };
    usb().devices.push_back(device);
    return device;
}

// Every control transfer goes through here: counted, the chip's time spent
// with the lock released, and the unplug that a bench may plant after it.
int controlTransfer(Lock &lock, libusb_device_handle *handle, uint8_t requestType, uint8_t request,
                    uint16_t value, uint16_t index, unsigned char *data, uint16_t length)
{
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    ++chip->controlTransfers;
    const bool in = requestType & LIBUSB_ENDPOINT_IN;
    int result = LIBUSB_ERROR_PIPE;
    Nanos cost = chip->controlCost;
    switch (requestType & 0x60) {
    case LIBUSB_REQUEST_TYPE_STANDARD:
        result = chip->standardRequest(requestType, request, value, index, data, length);
        break;
    case LIBUSB_REQUEST_TYPE_VENDOR:
        if ((requestType & 0x1F) != LIBUSB_RECIPIENT_DEVICE)
            break;
        result = in ? chip->vendorIn(request, index, data, length)
                    : chip->vendorOut(request, value, index);
        if (!in && request == 0x91) {
            cost += chip->eepromWriteCost;
            ft232r::dump();
        }
        break;
    default: break;
    }
    ft232r::afterControlTransfer(lock, *chip, cost);
    return result;
}

// A bulk OUT transfer goes in 64-byte packets; the chip naks a packet until
// its host-to-line buffer has room for it.
int bulkOut(Lock &lock, libusb_device_handle *handle, const unsigned char *data, int length,
            Clock::time_point deadline, int *transferred)
{
    return ft232r::sendPackets(
        lock, [&] { return liveChip(handle); }, data, length, deadline, transferred);
}

// A bulk IN transfer: full packets while 62 bytes are held, then a short
// packet (status bytes only, if need be) when the latency timer runs out or
// the event character has come in.
int bulkIn(Lock &lock, libusb_device_handle *handle, unsigned char *data, int length,
           Clock::time_point deadline, int *transferred)
{
    while (true) {
        Chip *chip = liveChip(handle);
        if (!chip)
            return LIBUSB_ERROR_NO_DEVICE;
        const int space = length - *transferred;
        if (space<ft232r::PacketSize && * transferred> 0)
            return LIBUSB_SUCCESS;
        const Clock::time_point now = Clock::now();
        const Clock::time_point next = chip->nextPacketAt(now);
        if (next <= now) {
            const int count = std::min(int(chip->held.size()), ft232r::PacketData);
            if (count + 2 > space)
                return LIBUSB_ERROR_OVERFLOW;
            *transferred += chip->takePacket(data + *transferred, count, now);
            if (count == ft232r::PacketData)
                continue;
            return LIBUSB_SUCCESS;
        }
        if (next > deadline) {
            sleepUntil(lock, deadline);
            return LIBUSB_ERROR_TIMEOUT;
        }
        sleepUntil(lock, next);
    }
}

void fillConfig(const ft232r::Enumeration &e, libusb_config_descriptor *config,
                libusb_interface *interface, libusb_interface_descriptor *altsetting,
                libusb_endpoint_descriptor *endpoints)
{
    for (int i = 0; i < 2; ++i) {
        libusb_endpoint_descriptor &endpoint = endpoints[i];
        endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
        endpoint.bEndpointAddress = i == 0 ? 0x81 : 0x02;
        endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
        endpoint.wMaxPacketSize = ft232r::PacketSize;
    }
    altsetting->bLength = LIBUSB_DT_INTERFACE_SIZE;
    altsetting->bDescriptorType = LIBUSB_DT_INTERFACE;
    altsetting->bNumEndpoints = 2;
    altsetting->bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    altsetting->bInterfaceSubClass = 0xFF;
    altsetting->bInterfaceProtocol = 0xFF;
    altsetting->iInterface = e.strings[1].empty() ? 0 : 2;
    altsetting->endpoint = endpoints;
    interface->altsetting = altsetting;
    interface->num_altsetting = 1;
    config->bLength = LIBUSB_DT_CONFIG_SIZE;
    config->bDescriptorType = LIBUSB_DT_CONFIG;
    config->wTotalLength
        = LIBUSB_DT_CONFIG_SIZE + LIBUSB_DT_INTERFACE_SIZE + 2 * LIBUSB_DT_ENDPOINT_SIZE;
    config->bNumInterfaces = 1;
    config->bConfigurationValue = 1;
    config->bmAttributes = e.attributes;
    config->MaxPower = e.maxPower;
    config->interface = interface;
}

} // namespace

// --- libusb-1.0 -----------------------------------------------------------

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **context)
{
    Lock lock(bench().mutex);
    ft232r::loadFromEnvironmentOnce("FT232R emulator");
    if (context)
        *context = new libusb_context {};
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *context)
{
    std::vector<libusb_device *> undelivered;
    {
        std::lock_guard<std::mutex> guard(hotplug().mutex);
        auto &callbacks = hotplug().callbacks;
        callbacks.erase(
            std::remove_if(callbacks.begin(), callbacks.end(),
                           [&](const Hotplug::Callback &c) { return c.context == context; }),
            callbacks.end());
        auto &pending = hotplug().pending;
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->context != context) {
                ++it;
                continue;
            }
            undelivered.push_back(it->device);
            it = pending.erase(it);
        }
    }
    for (libusb_device *device : undelivered)
        libusb_unref_device(device);
    delete context;
}

void LIBUSB_CALL libusb_set_debug(libusb_context *, int) { }

int LIBUSB_CALL libusb_set_option(libusb_context *, enum libusb_option option, ...)
{
    // Linux has no UsbDk; the log level and the rest are accepted.
    return option == LIBUSB_OPTION_USE_USBDK ? LIBUSB_ERROR_NOT_SUPPORTED : LIBUSB_SUCCESS;
}

const char *LIBUSB_CALL libusb_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return "LIBUSB_ERROR_OTHER";
    }
}

const char *LIBUSB_CALL libusb_strerror(int code)
{
    return libusb_error_name(code);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    Lock lock(bench().mutex);
    std::vector<libusb_device *> found;
    for (auto &chip : bench().chips) {
        if (chip->plugged)
            found.push_back(deviceFor(*chip));
    }
    auto **result = static_cast<libusb_device **>(std::calloc(found.size() + 1, sizeof(void *)));
    if (!result)
        return LIBUSB_ERROR_NO_MEM;
    for (size_t i = 0; i < found.size(); ++i) {
        ++found[i]->references;
        result[i] = found[i];
    }
    *list = result;
    return ssize_t(found.size());
}

libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *device)
{
    Lock lock(bench().mutex);
    ++device->references;
    return device;
}

void LIBUSB_CALL libusb_unref_device(libusb_device *device)
{
    Lock lock(bench().mutex);
    if (!device || --device->references > 0)
        return;
    auto &devices = usb().devices;
    devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
    delete device;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unrefDevices)
{
    if (!list)
        return;
    if (unrefDevices) {
        for (libusb_device **device = list; *device; ++device)
            libusb_unref_device(*device);
    }
    std::free(list);
}

libusb_device *LIBUSB_CALL libusb_get_parent(libusb_device *)
{
    return nullptr; // the root hub is not emulated
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *device)
{
    return uint8_t(device ? device->bus : 0);
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *device)
{
    return uint8_t(device ? device->address : 0);
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device *device)
{
    return uint8_t(device && !device->ports.empty() ? device->ports.back() : 0);
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device *device, uint8_t *ports, int capacity)
{
    if (!device || capacity < int(device->ports.size()))
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(device->ports.begin(), device->ports.end(), ports);
    return int(device->ports.size());
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device *)
{
    return LIBUSB_SPEED_FULL;
}

int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device *, unsigned char endpoint)
{
    return endpoint == 0x81 || endpoint == 0x02 ? ft232r::PacketSize : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *device,
                                             struct libusb_device_descriptor *descriptor)
{
    Lock lock(bench().mutex);
    if (!device || !device->chip)
        return LIBUSB_ERROR_NO_DEVICE;
    // The descriptor as the chip sent it when it enumerated.
    const std::vector<uint8_t> bytes = ft232r::deviceDescriptor(device->enumerated);
    *descriptor = {};
    descriptor->bLength = bytes[0];
    descriptor->bDescriptorType = bytes[1];
    descriptor->bcdUSB = uint16_t(bytes[2] | bytes[3] << 8);
    descriptor->bMaxPacketSize0 = bytes[7];
    descriptor->idVendor = uint16_t(bytes[8] | bytes[9] << 8);
    descriptor->idProduct = uint16_t(bytes[10] | bytes[11] << 8);
    descriptor->bcdDevice = uint16_t(bytes[12] | bytes[13] << 8);
    descriptor->iManufacturer = bytes[14];
    descriptor->iProduct = bytes[15];
    descriptor->iSerialNumber = bytes[16];
    descriptor->bNumConfigurations = bytes[17];
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device *device, uint8_t index,
                                             struct libusb_config_descriptor **config)
{
    Lock lock(bench().mutex);
    if (!device || !device->chip || index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    struct Block {
        libusb_config_descriptor config;
        libusb_interface interface;
        libusb_interface_descriptor altsetting;
        libusb_endpoint_descriptor endpoints[2];
    };
    auto *block = static_cast<Block *>(std::calloc(1, sizeof(Block)));
    if (!block)
        return LIBUSB_ERROR_NO_MEM;
    fillConfig(device->enumerated, &block->config, &block->interface, &block->altsetting,
               block->endpoints);
    *config = &block->config; // the block starts with the config: one free() releases all
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *config)
{
    std::free(config);
}

int LIBUSB_CALL libusb_open(libusb_device *device, libusb_device_handle **handle)
{
    Lock lock(bench().mutex);
    Chip *chip = liveChip(device);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (chip->cannotOpen)
        return LIBUSB_ERROR_ACCESS;
    ++device->references;
    *handle = new libusb_device_handle { device };
    ++usb().openHandles;
    ++usb().opens;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *handle, int interfaceNumber)
{
    Lock lock(bench().mutex);
    if (!handle->claimed || interfaceNumber != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed = false;
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    chip->claimedBy = nullptr;
    if (handle->detachedDriver) {
        chip->kernelDriver = true; // re-attached, as auto-detach promises
        handle->detachedDriver = false;
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
    if (!handle)
        return;
    Lock lock(bench().mutex);
    if (handle->claimed)
        libusb_release_interface(handle, 0);
    --usb().openHandles;
    libusb_unref_device(handle->device);
    delete handle;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle *handle)
{
    Lock lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NOT_FOUND;
    sleepUntil(lock, Clock::now() + PortResetTime);
    chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NOT_FOUND;
    // The chip reads its EEPROM again: if it now describes itself otherwise,
    // it comes back as a new device and this handle is dead.
    if (chip->enumeration() != chip->enumerated) {
        chip->unplug();
        plug(*chip);
        return LIBUSB_ERROR_NOT_FOUND;
    }
    const bool claimed = chip->claimedBy == handle;
    const bool driver = chip->kernelDriver;
    chip->plugIn(chip->address);
    chip->claimedBy = claimed ? handle : nullptr;
    chip->kernelDriver = driver;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *handle, int enable)
{
    handle->autoDetach = enable != 0;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *handle, int interfaceNumber)
{
    Lock lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (interfaceNumber != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return chip->kernelDriver ? 1 : 0;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *handle, int interfaceNumber)
{
    Lock lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (interfaceNumber != 0 || !chip->kernelDriver)
        return LIBUSB_ERROR_NOT_FOUND;
    chip->kernelDriver = false;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle *handle, int interfaceNumber)
{
    Lock lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (interfaceNumber != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (chip->kernelDriver || chip->claimedBy)
        return LIBUSB_ERROR_BUSY;
    chip->kernelDriver = true;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *handle, int *configuration)
{
    Lock lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    *configuration = chip->configuration;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *handle, int configuration)
{
    Lock lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (configuration < -1 || configuration > 1)
        return LIBUSB_ERROR_NOT_FOUND;
    // Linux refuses while any interface is claimed, by a driver or by usbfs.
    if (chip->kernelDriver || chip->claimedBy)
        return LIBUSB_ERROR_BUSY;
    return controlTransfer(lock, handle, LIBUSB_ENDPOINT_OUT, LIBUSB_REQUEST_SET_CONFIGURATION,
                           uint16_t(std::max(configuration, 0)), 0, nullptr, 0);
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int interfaceNumber)
{
    Lock lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (interfaceNumber != 0 || chip->configuration != 1)
        return LIBUSB_ERROR_NOT_FOUND;
    if (chip->claimedBy && chip->claimedBy != handle)
        return LIBUSB_ERROR_BUSY;
    if (chip->kernelDriver) {
        if (!handle->autoDetach)
            return LIBUSB_ERROR_BUSY;
        chip->kernelDriver = false;
        handle->detachedDriver = true;
    }
    chip->claimedBy = handle;
    handle->claimed = true;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle *handle, int interfaceNumber,
                                                 int alternate)
{
    Lock lock(bench().mutex);
    if (!liveChip(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (!handle->claimed || interfaceNumber != 0 || alternate != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return controlTransfer(lock, handle, LIBUSB_RECIPIENT_INTERFACE, LIBUSB_REQUEST_SET_INTERFACE,
                           0, 0, nullptr, 0);
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *handle, unsigned char endpoint)
{
    Lock lock(bench().mutex);
    if (!liveChip(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (endpoint != 0x81 && endpoint != 0x02)
        return LIBUSB_ERROR_NOT_FOUND;
    return controlTransfer(lock, handle, LIBUSB_RECIPIENT_ENDPOINT, LIBUSB_REQUEST_CLEAR_FEATURE, 0,
                           endpoint, nullptr, 0);
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *handle, uint8_t requestType,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char *data, uint16_t length, unsigned int)
{
    Lock lock(bench().mutex);
    return controlTransfer(lock, handle, requestType, request, value, index, data, length);
}

// As the real library does it: the first language, then the string in it,
// non-ASCII characters as '?'.
int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index,
                                                   unsigned char *data, int length)
{
    if (index == 0 || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char buffer[255];
    const uint8_t in = LIBUSB_ENDPOINT_IN;
    int r = libusb_control_transfer(handle, in, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                    LIBUSB_DT_STRING << 8, 0, buffer, sizeof buffer, 1000);
    if (r < 0)
        return r;
    if (r < 4)
        return LIBUSB_ERROR_IO;
    const uint16_t language = uint16_t(buffer[2] | buffer[3] << 8);
    r = libusb_control_transfer(handle, in, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                uint16_t(LIBUSB_DT_STRING << 8 | index), language, buffer,
                                sizeof buffer, 1000);
    if (r < 0)
        return r;
    if (r < 2 || buffer[1] != LIBUSB_DT_STRING || buffer[0] > r)
        return LIBUSB_ERROR_IO;
    int out = 0;
    for (int i = 2; i + 1 < buffer[0] && out < length - 1; i += 2)
        data[out++] = (buffer[i] & 0x80) || buffer[i + 1] ? '?' : buffer[i];
    data[out] = 0;
    return out;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                     unsigned char *data, int length, int *transferred,
                                     unsigned int timeout)
{
    int count = 0;
    const Clock::time_point deadline = deadlineAfter(timeout);
    Lock lock(bench().mutex);
    Chip *chip = liveChip(handle);
    int result = LIBUSB_ERROR_NO_DEVICE;
    if (chip && !handle->claimed)
        result = LIBUSB_ERROR_NOT_FOUND;
    else if (chip && endpoint == 0x02)
        result = bulkOut(lock, handle, data, length, deadline, &count);
    else if (chip && endpoint == 0x81)
        result = bulkIn(lock, handle, data, length, deadline, &count);
    else if (chip)
        result = LIBUSB_ERROR_IO; // no such endpoint
    if (transferred)
        *transferred = count;
    if (Chip *still = liveChip(handle)) {
        ++still->bulkTransfers;
        if (still->unplugAfterBulk >= 0 && still->bulkTransfers >= still->unplugAfterBulk)
            still->unplug();
    }
    return result;
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle *handle, unsigned char,
                                          unsigned char *, int, int *transferred, unsigned int)
{
    Lock lock(bench().mutex);
    if (transferred)
        *transferred = 0;
    return liveChip(handle) ? LIBUSB_ERROR_IO : LIBUSB_ERROR_NO_DEVICE; // it has none
}

// The asynchronous interface is not emulated: transfers can be made and
// freed, and submitting one reports the interface unsupported.
struct libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int isoPackets)
{
    const size_t size = sizeof(libusb_transfer)
        + sizeof(libusb_iso_packet_descriptor) * size_t(std::max(isoPackets, 0));
    return static_cast<libusb_transfer *>(std::calloc(1, size));
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer *transfer)
{
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer *)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer *)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

// Events are hotplug events only: transfers are synchronous here.
int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *context,
                                                       struct timeval *timeout, int *)
{
    const auto wait = timeout
        ? std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec)
        : std::chrono::microseconds(std::chrono::hours(1));
    deliverHotplug(context, Clock::now() + wait);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context *context, struct timeval *timeout)
{
    return libusb_handle_events_timeout_completed(context, timeout, nullptr);
}

int LIBUSB_CALL libusb_handle_events(libusb_context *context)
{
    timeval sixtySeconds { 60, 0 };
    return libusb_handle_events_timeout_completed(context, &sixtySeconds, nullptr);
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    return capability == LIBUSB_CAP_HAS_CAPABILITY || capability == LIBUSB_CAP_HAS_HOTPLUG;
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context *context, int events, int flags,
                                                 int vendorId, int productId, int deviceClass,
                                                 libusb_hotplug_callback_fn callback,
                                                 void *userData,
                                                 libusb_hotplug_callback_handle *handle)
{
    if (!callback
        || !(events & (LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)))
        return LIBUSB_ERROR_INVALID_PARAM;
    Lock lock(bench().mutex);
    std::lock_guard<std::mutex> guard(hotplug().mutex);
    const Hotplug::Callback registered { context,   hotplug().nextHandle++,
                                         events,    vendorId,
                                         productId, deviceClass,
                                         callback,  userData };
    hotplug().callbacks.push_back(registered);
    if (handle)
        *handle = registered.handle;
    if (flags & LIBUSB_HOTPLUG_ENUMERATE)
        for (auto &chip : bench().chips)
            if (chip->plugged)
                queueHotplug(registered, *chip, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    hotplug().wake.notify_all();
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context *context,
                                                    libusb_hotplug_callback_handle handle)
{
    std::lock_guard<std::mutex> guard(hotplug().mutex);
    forgetCallback(context, handle);
}

// --- control of the emulator -------------------------------------------------

int ft232r_emulator_load(const char *json)
{
    Lock lock(bench().mutex);
    bench().loaded = true;
    bench().error.clear();
    return ft232r::loadBench(QByteArray(json), &bench().error) ? 0 : -1;
}

const char *ft232r_emulator_error(void)
{
    return bench().error.c_str();
}

int ft232r_emulator_eeprom(const char *name, unsigned char image[128])
{
    Lock lock(bench().mutex);
    Chip *chip = findChip(name);
    if (!chip)
        return -1;
    std::memcpy(image, chip->eeprom.data(), ft232r::ImageBytes);
    return 0;
}

int ft232r_emulator_line(const char *name, int *baud, int *bits, int *stopBits, int *parity)
{
    Lock lock(bench().mutex);
    Chip *chip = findChip(name);
    if (!chip)
        return -1;
    *baud = chip->baud;
    *bits = chip->bits;
    *stopBits = chip->stopBits;
    *parity = chip->parity;
    return 0;
}

int ft232r_emulator_latency(const char *name)
{
    Lock lock(bench().mutex);
    Chip *chip = findChip(name);
    return chip ? chip->latencyMs : -1;
}

int ft232r_emulator_settings(const char *name, int *flowControl, int *eventChar, int *errorChar,
                             int *eepromWriteLatency)
{
    Lock lock(bench().mutex);
    Chip *chip = findChip(name);
    return chip ? ft232r::settingsOf(*chip, flowControl, eventChar, errorChar, eepromWriteLatency)
                : -1;
}

int ft232r_emulator_counters(const char *name, int *controlTransfers, int *eepromWordsRead,
                             int *eepromWordsWritten)
{
    Lock lock(bench().mutex);
    Chip *chip = findChip(name);
    if (!chip)
        return -1;
    *controlTransfers = chip->controlTransfers;
    *eepromWordsRead = chip->eepromWordsRead;
    *eepromWordsWritten = chip->eepromWordsWritten;
    return 0;
}

int ft232r_emulator_kernel_driver_attached(const char *name)
{
    Lock lock(bench().mutex);
    Chip *chip = findChip(name);
    return chip && chip->kernelDriver ? 1 : 0;
}

int ft232r_emulator_open_handles(void)
{
    Lock lock(bench().mutex);
    return usb().openHandles;
}

int ft232r_emulator_open_count(void)
{
    Lock lock(bench().mutex);
    return usb().opens;
}

void ft232r_emulator_unplug(const char *name)
{
    Lock lock(bench().mutex);
    if (Chip *chip = findChip(name))
        chip->unplug();
}

void ft232r_emulator_plug(const char *name)
{
    Lock lock(bench().mutex);
    if (Chip *chip = findChip(name))
        plug(*chip);
}

} // extern "C"
