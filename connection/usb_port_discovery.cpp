// The USB branch: finds the port the system gave the terminal's USB serial
// device, waiting up to 30 seconds for it to be plugged in, then runs the
// reader exercise on it.
#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/system.h"
#include "res/resource.h"
#include "ui/slotbench_dlg.h"

namespace {

constexpr char kUsbSerialValue[] = "\\Device\\USBSER000";
constexpr uint64_t kWaitLimitMs = 30000;
constexpr uint32_t kPostPlugPauseMs = 6000;
// Longest sleep between two polls. The wait wakes at once for a window
// message, and for a change of the serial device map where the system can
// announce one: then the poll is only a safety net and may be slow.
constexpr uint32_t kSafetyPollMs = 1000;
constexpr uint32_t kShortPollMs = 50;

// Time since the wait began, on the monotonic clock. A reading below the
// previous one (counters that differ between processors, on some older
// machines) adds nothing: the elapsed time never goes backwards, and the
// wait never ends early or at once for it.
class ElapsedTime {
public:
    ElapsedTime() : m_last(platform::MonotonicMilliseconds()) {}
    uint64_t Milliseconds() {
        const uint64_t now = platform::MonotonicMilliseconds();
        if (now > m_last) m_elapsed += now - m_last;
        m_last = now;
        return m_elapsed;
    }

private:
    uint64_t m_last;
    uint64_t m_elapsed = 0;
};

// The value's text, up to its terminating zero and never past the bytes the
// registry delivered, which may carry no terminating zero at all.
bool QueryUsbPort(platform::RegistryKey key, std::string& port) {
    uint8_t data[128];
    uint32_t size = sizeof data;
    if (!platform::QuerySerialDeviceMapValue(key, kUsbSerialValue, data, size)) return false;
    const uint8_t* begin = data;
    const uint8_t* end = begin + std::min<uint32_t>(size, sizeof data);
    port.assign(begin, std::find(begin, end, uint8_t{0}));
    return true;
}

}  // namespace

void CSlotBenchDlg::PumpMessages() {
    while (platform::MessageWaiting()) {
        if (!platform::DispatchNextMessage()) break;  // the quit message: stop dispatching
    }
}

void CSlotBenchDlg::WaitForUsbReader() {
    platform::RegistryKey key = nullptr;
    if (!platform::OpenSerialDeviceMap(key)) {
        LogMessage(IDS_REGISTRY_ERROR);
        m_passed = false;
        return;
    }

    // Measured on the monotonic clock, so that setting the wall clock during
    // the wait neither ends it early nor stretches it.
    ElapsedTime clock;
    std::string port;
    bool prompted = false;
    bool found = QueryUsbPort(key, port);
    while (!found) {
        if (!prompted) {
            LogMessage(IDS_PLUG_USB);
            prompted = true;
        }
        const uint64_t elapsed = clock.Milliseconds();
        PumpMessages();
        if (m_exitRequested) break;
        // Armed before the query, so that a change right after it still
        // wakes the wait below.
        const bool watched = platform::WatchSerialDeviceMap(key);
        const bool present = QueryUsbPort(key, port);
        if (elapsed >= kWaitLimitMs) {
            LogMessage(IDS_TIME_OUT);
            break;
        }
        found = present;
        if (!found) {
            const uint64_t left = kWaitLimitMs - elapsed;
            const uint32_t poll = watched ? kSafetyPollMs : kShortPollMs;
            platform::WaitForMessageOrSerialMapChange(key, static_cast<uint32_t>(std::min<uint64_t>(poll, left)));
        }
    }

    if (found) {
        LogText(platform::MessageText(IDS_PORT_COM_NUMBER) + port);
        // Give a terminal that was just plugged in time to start up.
        if (prompted) platform::SleepMilliseconds(kPostPlugPauseMs);
        TestReader(PortNumberFromName(port));
    } else {
        m_passed = false;
    }
    platform::CloseSerialDeviceMap(key);
}
