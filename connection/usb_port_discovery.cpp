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
// Longest sleep between two polls; the wait also wakes at once for a window
// message or a change of the serial device map.
constexpr uint32_t kPollIntervalMs = 50;

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
    const uint64_t start = platform::MonotonicMilliseconds();
    std::string port;
    bool prompted = false;
    bool found = QueryUsbPort(key, port);
    while (!found) {
        if (!prompted) {
            LogMessage(IDS_PLUG_USB);
            prompted = true;
        }
        const uint64_t elapsed = platform::MonotonicMilliseconds() - start;
        PumpMessages();
        if (m_exitRequested) break;
        const bool present = QueryUsbPort(key, port);
        if (elapsed >= kWaitLimitMs) {
            LogMessage(IDS_TIME_OUT);
            break;
        }
        found = present;
        if (!found) {
            const uint64_t left = kWaitLimitMs - elapsed;
            platform::WaitForMessageOrSerialMapChange(
                key, static_cast<uint32_t>(std::min<uint64_t>(kPollIntervalMs, left)));
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
