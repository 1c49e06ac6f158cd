// The framework's GetSystemMetrics shares the Win32 function's name, so it
// lives in a file that does not include <windows.h>.
#include "platform/framework.h"
#include "platform/win32/win32_bridge.h"

int GetSystemMetrics(int index) { return win32::SystemMetric(index); }
