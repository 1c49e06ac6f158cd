// A system backend that runs on real time: a steady clock, real sleeps, and a
// serial device map another thread can change, with a wait that wakes up at
// once when it does (as the Win32 change notification does).
#include "bench/realtime_system.h"
#include "platform/system.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::string g_value;
bool g_present = false;
std::chrono::steady_clock::time_point g_pauseRequestedAt;

using Clock = std::chrono::steady_clock;

}  // namespace

namespace realtime {

void SetUsbSerialValue(const std::string& port) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_value = port;
        g_present = true;
    }
    g_changed.notify_all();
}

void RemoveUsbSerialValue() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_present = false;
}

std::chrono::steady_clock::time_point PostPlugPauseStartedAt() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_pauseRequestedAt;
}

}  // namespace realtime

namespace platform {

LocalTime GetLocalTime() { return {2026, 12, 7, 12, 0, 0}; }

uint64_t MonotonicMilliseconds() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

void SleepMilliseconds(uint32_t milliseconds) {
    // The only sleep of the USB wait is the pause after a plug-in; the
    // benchmark measures up to its start and skips the pause itself.
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pauseRequestedAt = Clock::now();
    (void)milliseconds;
}

void ShowErrorAndEndProcess(WindowHandle, const std::string&, const std::string&, int) {}

bool GetOsVersion(OsVersion& version) {
    version = {6, 1};
    return true;
}

bool FileExists(const char*) { return false; }
uint32_t GetVersionResourceSize(const char*) { return 0; }
bool ReadVersionResource(const char*, uint32_t, void*) { return false; }
bool QueryFixedFileVersion(const void*, uint32_t&, uint32_t&) { return false; }

bool OpenSerialDeviceMap(RegistryKey& key) {
    key = &g_value;
    return true;
}

bool QuerySerialDeviceMapValue(RegistryKey, const char*, uint8_t* data, uint32_t& size) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_present || g_value.size() + 1 > size) return false;
    std::memcpy(data, g_value.c_str(), g_value.size() + 1);
    size = static_cast<uint32_t>(g_value.size() + 1);
    return true;
}

void CloseSerialDeviceMap(RegistryKey) {}

bool MessageWaiting() { return false; }
bool DispatchNextMessage() { return true; }

bool WatchSerialDeviceMap(RegistryKey) { return true; }

void WaitForMessageOrSerialMapChange(RegistryKey, uint32_t maxMilliseconds) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait_for(lock, std::chrono::milliseconds(maxMilliseconds), [] { return g_present; });
}

bool DiscardQueuedInput(WindowHandle) { return false; }

}  // namespace platform
