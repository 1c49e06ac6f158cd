// Measures the USB wait on the host with real time: the CPU it uses while it
// waits, and how long after the terminal appears the port line is logged.
// Prints figures; asserts nothing.
//
//   usb_wait_bench [wait-seconds] [plug-in-runs]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "bench/realtime_system.h"
#include "platform/ct_api.h"
#include "platform/memory/fake_system.h"
#include "ui/slotbench_dlg.h"

namespace {

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

// An instant terminal that answers every request with 90 00.
extern "C" int8_t CT_init(uint16_t, uint16_t) { return 0; }
extern "C" int8_t CT_close(uint16_t) { return 0; }

extern "C" int8_t CT_data(uint16_t, uint8_t*, uint8_t*, uint16_t, uint8_t*, uint16_t* lenr, uint8_t* response) {
    response[0] = 0x90;
    response[1] = 0x00;
    *lenr = 2;
    return 0;
}

int main(int argc, char** argv) {
    const int waitSeconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const int plugRuns = argc > 2 ? std::atoi(argv[2]) : 21;

    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "slotbench-bench";
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);

    CSlotBenchDlg dlg;
    fake::OpenDialog(dlg);

    // 1. CPU while waiting for a terminal that never comes (the full wait).
    realtime::RemoveUsbSerialValue();
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    if (waitSeconds >= 30) {
        dlg.WaitForUsbReader();
    } else {
        std::thread plug([&] {
            std::this_thread::sleep_for(std::chrono::seconds(waitSeconds));
            realtime::SetUsbSerialValue("COM5");
        });
        dlg.WaitForUsbReader();
        plug.join();
    }
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("usb wait: %.1f s waited, %.4f s CPU, %.3f%% of one core (target <= 0.05%%)\n", wall, cpu,
                100.0 * cpu / wall);

    // 2. Delay from plug-in to the port line, over repeated waits.
    std::vector<double> delays;
    for (int run = 0; run < plugRuns; ++run) {
        realtime::RemoveUsbSerialValue();
        const auto plugAfter = std::chrono::milliseconds(150 + 37 * (run % 7));
        std::chrono::steady_clock::time_point pluggedAt;
        std::thread plug([&] {
            std::this_thread::sleep_for(plugAfter);
            pluggedAt = std::chrono::steady_clock::now();
            realtime::SetUsbSerialValue("COM5");
        });
        dlg.WaitForUsbReader();
        plug.join();
        delays.push_back(
            std::chrono::duration<double, std::milli>(realtime::PostPlugPauseStartedAt() - pluggedAt).count());
        dlg.OnClear();
    }
    std::sort(delays.begin(), delays.end());
    std::printf("plug-in detection: median %.2f ms, max %.2f ms over %zu runs (target median <= 20 ms)\n",
                delays[delays.size() / 2], delays.back(), delays.size());

    dlg.CloseSessionLog();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(folder);
    return 0;
}
