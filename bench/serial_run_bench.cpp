// The tool's own cost of a complete SERIAL run (header, environment, the
// exercise, verdict, every line flushed to the session file) against a
// terminal that answers at once. Prints figures; asserts nothing.
//
//   serial_run_bench [runs]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/ct_api.h"
#include "platform/memory/fake_system.h"
#include "ui/slotbench_dlg.h"

extern "C" int8_t CT_init(uint16_t, uint16_t) { return 0; }
extern "C" int8_t CT_close(uint16_t) { return 0; }

extern "C" int8_t CT_data(uint16_t, uint8_t*, uint8_t*, uint16_t, uint8_t* command, uint16_t* lenr,
                          uint8_t* response) {
    // A slot reset gets an answer to reset, everything else 90 00.
    static const uint8_t kAtr[] = {0x3B, 0xD3, 0x96, 0xFF, 0x81, 0xB1, 0xFE, 0x45, 0x1F, 0x07, 0x90, 0x01};
    if (command[2] != 0 && *lenr >= sizeof kAtr) {
        std::copy(std::begin(kAtr), std::end(kAtr), response);
        *lenr = sizeof kAtr;
    } else {
        response[0] = 0x90;
        response[1] = 0x00;
        *lenr = 2;
    }
    return 0;
}

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "slotbench-serial-bench";
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);

    fake::Reset();
    fake::State().existingFiles.insert("C:\\WINDOWS\\system32\\CT_ORB.dll");
    CSlotBenchDlg dlg;
    fake::OpenDialog(dlg);
    fake::Click(dlg, 1001);  // SERIAL
    fake::Control(dlg, 1004).text = "COM3";

    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(runs));
    timespec cpuStart{}, cpuEnd{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuStart);
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        dlg.OnStartTest();
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        if (run % 100 == 99) dlg.OnClear();  // keep the list from growing without end
    }
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuEnd);
    const double cpu = static_cast<double>(cpuEnd.tv_sec - cpuStart.tv_sec) +
                       static_cast<double>(cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1e9;
    std::sort(micros.begin(), micros.end());
    std::printf("serial run (instant terminal, 12 lines logged and flushed): median %.1f us, p95 %.1f us, "
                "CPU %.1f us per run over %d runs\n",
                micros[micros.size() / 2], micros[micros.size() * 95 / 100], 1e6 * cpu / runs, runs);

    dlg.CloseSessionLog();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(folder);
    return 0;
}
