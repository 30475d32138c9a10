// Windows only: the double tells its process's windows of each chip that
// arrives or leaves, as Windows does a window registered for the USB device
// interface class: WM_DEVICECHANGE, DBT_DEVICEARRIVAL or
// DBT_DEVICEREMOVECOMPLETE, with a DEV_BROADCAST_DEVICEINTERFACE. Sent from
// a thread of its own, never with the bench's lock held.

#include "../ft232remulator/bench.h"

#include <windows.h>

#include <dbt.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr GUID UsbDeviceInterface
    = { 0xA5DCBF10, 0x6530, 0x11D2, { 0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED } };

struct Broadcast {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<bool, std::wstring>> pending; // arrived, device path
    bool started = false;
};

Broadcast &broadcast()
{
    static Broadcast *instance = new Broadcast;
    return *instance;
}

struct Message {
    WPARAM event;
    const DEV_BROADCAST_DEVICEINTERFACE_W *notice;
};

BOOL CALLBACK sendToWindow(HWND window, LPARAM parameter)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId())
        return TRUE;
    const auto &message = *reinterpret_cast<const Message *>(parameter);
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_DEVICECHANGE, message.event,
                        reinterpret_cast<LPARAM>(message.notice), SMTO_NORMAL, 2000, &result);
    return TRUE;
}

void sendAll()
{
    std::unique_lock<std::mutex> lock(broadcast().mutex);
    for (;;) {
        broadcast().wake.wait(lock, [] { return !broadcast().pending.empty(); });
        const auto [arrived, path] = broadcast().pending.front();
        broadcast().pending.pop_front();
        lock.unlock();
        std::vector<char> storage(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)
                                  + (path.size() + 1) * sizeof(wchar_t));
        auto *notice = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(storage.data());
        notice->dbcc_size = DWORD(storage.size());
        notice->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        notice->dbcc_classguid = UsbDeviceInterface;
        wcscpy(notice->dbcc_name, path.c_str());
        const Message message { arrived ? WPARAM(DBT_DEVICEARRIVAL)
                                        : WPARAM(DBT_DEVICEREMOVECOMPLETE),
                                notice };
        EnumWindows(sendToWindow, reinterpret_cast<LPARAM>(&message));
        lock.lock();
    }
}

void tellWindows(ft232r::Chip &chip, bool arrived)
{
    std::lock_guard<std::mutex> guard(broadcast().mutex);
    const std::string path
        = "\\\\?\\USB#VID_0403&PID_6001#" + chip.name + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    broadcast().pending.emplace_back(arrived, std::wstring(path.begin(), path.end()));
    if (!broadcast().started) {
        broadcast().started = true;
        std::thread(sendAll).detach();
    }
    broadcast().wake.notify_all();
}

[[maybe_unused]] const bool listening = (ft232r::plugListener = tellWindows, true);

} // namespace
