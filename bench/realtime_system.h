// Controls of the real-time system backend used by the benchmarks.
#pragma once

#include <chrono>
#include <string>

namespace realtime {
// Plugs in (or pulls out) the USB terminal: the serial device map's value.
void SetUsbSerialValue(const std::string& port);
void RemoveUsbSerialValue();
// When the wait logged the port line and asked for the post-plug pause.
std::chrono::steady_clock::time_point PostPlugPauseStartedAt();
}  // namespace realtime
