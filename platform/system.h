// The operating-system services the test logic needs, named after what the
// logic asks for. The build links exactly one backend: Win32 for the program,
// the in-memory one for host tests.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>

#include "platform/framework.h"

namespace platform {

// --- Messages (the program's string table) -------------------------------

// The text of string-table entry `id`; false when there is none.
bool LoadMessage(unsigned id, std::string& text);

// The same text for lines built as a message followed by a value; empty when
// there is none.
inline std::string MessageText(unsigned id) {
    std::string text;
    LoadMessage(id, text);
    return text;
}

// --- Clock ----------------------------------------------------------------

struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime GetLocalTime();

// Milliseconds on a clock that never jumps with the wall clock.
uint64_t MonotonicMilliseconds();
void SleepMilliseconds(uint32_t milliseconds);

// --- Environment ----------------------------------------------------------

struct OsVersion {
    unsigned long major, minor;
};
bool GetOsVersion(OsVersion& version);

bool FileExists(const char* path);
// Size of the file's version resource; 0 when it has none.
uint32_t GetVersionResourceSize(const char* path);
bool ReadVersionResource(const char* path, uint32_t size, void* buffer);
// The fixed file information of a version resource read above: the most and
// least significant halves of the file version.
bool QueryFixedFileVersion(const void* buffer, uint32_t& versionMs, uint32_t& versionLs);

// --- Serial device map ----------------------------------------------------

using RegistryKey = void*;
bool OpenSerialDeviceMap(RegistryKey& key);
// Reads value `name` into `data`; `size` is the room in, the bytes stored out.
bool QuerySerialDeviceMapValue(RegistryKey key, const char* name, uint8_t* data, uint32_t& size);
void CloseSerialDeviceMap(RegistryKey key);

// --- Message queue --------------------------------------------------------

// True while a message waits in the thread's queue (it is not removed).
bool MessageWaiting();
// Takes the next message and dispatches it; false when it was the quit message.
bool DispatchNextMessage();
// Asks to be told of the next change of the serial device map under `key`;
// false when the system cannot announce one, and a change is seen only by
// looking again.
bool WatchSerialDeviceMap(RegistryKey key);
// Blocks until a message arrives, the watched serial device map changes, or
// `maxMilliseconds` pass, whichever is first.
void WaitForMessageOrSerialMapChange(RegistryKey key, uint32_t maxMilliseconds);
// Drops mouse and keyboard input that queued up while the window was blocked;
// true when that input asked to leave the dialog: a click on `exitButton`,
// Escape, or Alt+F4. (A click on the close box is not client input: it stays
// queued and closes the dialog by itself.)
bool DiscardQueuedInput(WindowHandle exitButton);

// --- Files ----------------------------------------------------------------

// Streams are the runtime library's; these calls exist so that each step can
// be made to fail in tests.
std::FILE* OpenStream(const char* name, const char* mode);
size_t ReadStream(void* buffer, size_t size, std::FILE* stream);
size_t WriteStream(const void* data, size_t size, std::FILE* stream);
bool FlushStream(std::FILE* stream);
bool CloseStream(std::FILE* stream);
// Length of the stream's file, in bytes; -1 when it cannot be told.
long StreamLength(std::FILE* stream);
bool CopyFileReplacing(const char* from, const char* to);
bool RemoveFile(const char* name);

// --- Leaving ---------------------------------------------------------------

// The caption of the tool's own message boxes.
constexpr char kBoxCaption[] = "Slot Bench";

// Shows `text` in an error box with one OK button, owned by `owner`, and once
// it is closed ends the process with `exitCode` at once: nothing else of the
// process runs, the card-terminal library's own clean-up included.
void ShowErrorAndEndProcess(WindowHandle owner, const std::string& caption, const std::string& text,
                            int exitCode);

}  // namespace platform
