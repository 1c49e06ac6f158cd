// Calls between the Win32 backend's files that must not see each other's
// headers (framework.h and <windows.h> both declare GetSystemMetrics).
#pragma once

namespace win32 {
int SystemMetric(int index);
}  // namespace win32
