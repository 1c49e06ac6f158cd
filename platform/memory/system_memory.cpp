// The in-memory backend of the system services, for host tests.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/memory/fake_system.h"

namespace fake {

namespace {
void Advance(uint64_t milliseconds) {
    System& s = State();
    s.monotonicMs += milliseconds;
    if (s.onTime) s.onTime(s.monotonicMs);
}

bool SerialValuePresent(int query) {
    const SerialValue& v = State().serial;
    if (v.failingQueries.count(query) != 0) return false;
    return query >= v.presentFromQuery || State().monotonicMs >= v.presentFromMs;
}
}  // namespace

}  // namespace fake

namespace platform {

LocalTime GetLocalTime() { return fake::State().localTime; }

uint64_t MonotonicMilliseconds() { return fake::State().monotonicMs; }

void SleepMilliseconds(uint32_t milliseconds) {
    fake::State().sleeps.push_back(milliseconds);
    fake::Advance(milliseconds);
}

// The process cannot end under a test: the box is recorded, and the test
// checks that the logic did nothing after it.
void ShowErrorAndEndProcess(WindowHandle owner, const std::string& caption, const std::string& text,
                            int exitCode) {
    std::FILE* session = std::fopen("tmp", "rb");
    if (session != nullptr) std::fclose(session);
    fake::State().errorBoxes.push_back({owner, caption, text, exitCode, session != nullptr});
}

bool GetOsVersion(OsVersion& version) {
    if (!fake::State().osVersionAvailable) return false;
    version = fake::State().osVersion;
    return true;
}

bool FileExists(const char* path) { return fake::State().existingFiles.count(path) != 0; }

uint32_t GetVersionResourceSize(const char* path) {
    return FileExists(path) ? fake::State().versionResourceSize : 0;
}

// The buffer gets a marker and the fixed information, so a query can tell
// that it was given a buffer this backend filled.
namespace {
constexpr uint32_t kFilledMarker = 0xFEEF04BD;
}

bool ReadVersionResource(const char* path, uint32_t size, void* buffer) {
    fake::System& s = fake::State();
    if (!FileExists(path) || !s.versionResourceReadable || size < 12) return false;
    const uint32_t words[3] = {kFilledMarker, s.fileVersionMs, s.fileVersionLs};
    std::memcpy(buffer, words, sizeof words);
    return true;
}

bool QueryFixedFileVersion(const void* buffer, uint32_t& versionMs, uint32_t& versionLs) {
    fake::System& s = fake::State();
    uint32_t words[3];
    std::memcpy(words, buffer, sizeof words);
    if (words[0] != kFilledMarker || !s.hasFixedFileInfo) return false;
    versionMs = words[1];
    versionLs = words[2];
    return true;
}

bool OpenSerialDeviceMap(RegistryKey& key) {
    fake::System& s = fake::State();
    if (!s.serial.openable) return false;
    ++s.keysOpen;
    ++s.keysOpened;
    key = &s.serial;
    return true;
}

bool QuerySerialDeviceMapValue(RegistryKey key, const char* name, uint8_t* data, uint32_t& size) {
    fake::System& s = fake::State();
    const int query = ++s.serialQueries;
    if (key != &s.serial || std::strcmp(name, "\\Device\\USBSER000") != 0) return false;
    if (!fake::SerialValuePresent(query)) return false;
    if (s.serial.data.size() > size) return false;  // too small a buffer, as the registry says
    std::copy(s.serial.data.begin(), s.serial.data.end(), data);
    size = static_cast<uint32_t>(s.serial.data.size());
    return true;
}

void CloseSerialDeviceMap(RegistryKey) { --fake::State().keysOpen; }

bool MessageWaiting() { return !fake::State().messages.empty(); }

bool DispatchNextMessage() {
    fake::System& s = fake::State();
    if (s.messages.empty()) return true;
    fake::System::QueuedMessage message = std::move(s.messages.front());
    s.messages.pop_front();
    return message.run();
}

bool WatchSerialDeviceMap(RegistryKey) {
    fake::System& s = fake::State();
    s.serial.watched = s.serial.watchable;
    return s.serial.watched;
}

void WaitForMessageOrSerialMapChange(RegistryKey, uint32_t maxMilliseconds) {
    fake::System& s = fake::State();
    ++s.waits;
    if (!s.messages.empty()) return;
    // A watched map wakes the wait when the value appears.
    uint32_t step = maxMilliseconds;
    if (s.serial.watched && s.serial.presentFromMs > s.monotonicMs &&
        s.serial.presentFromMs - s.monotonicMs < step)
        step = static_cast<uint32_t>(s.serial.presentFromMs - s.monotonicMs);
    fake::Advance(step);
}

// Queued input here is a handler to run, not a click on a given control:
// none of it can be told to be a request to leave.
bool DiscardQueuedInput(WindowHandle) {
    fake::System& s = fake::State();
    s.messages.erase(std::remove_if(s.messages.begin(), s.messages.end(),
                                    [](const fake::System::QueuedMessage& m) { return m.input; }),
                     s.messages.end());
    return false;
}

}  // namespace platform
