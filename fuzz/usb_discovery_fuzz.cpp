// The USB wait with fuzzed serial device maps: any value bytes, with or
// without a terminating zero, present from any poll or moment, queries that
// fail at any poll, a key that cannot be opened.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/fuzz_dialog.h"
#include "platform/ct_api.h"

extern "C" int8_t CT_init(uint16_t, uint16_t port) { return port >= 1 && port <= 11 ? 0 : -1; }
extern "C" int8_t CT_close(uint16_t) { return 0; }

extern "C" int8_t CT_data(uint16_t, uint8_t*, uint8_t*, uint16_t, uint8_t*, uint16_t* lenr, uint8_t* response) {
    response[0] = 0x90;
    response[1] = 0x00;
    *lenr = 2;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    CSlotBenchDlg& dlg = FreshFuzzDialog();

    fake::System& s = fake::State();
    s.serial = fake::SerialValue{};
    s.serialQueries = 0;
    s.sleeps.clear();
    s.serial.openable = input.ConsumeIntegralInRange<int>(0, 15) != 0;
    s.serial.presentFromQuery = input.ConsumeIntegralInRange<int>(1, 1000);
    s.serial.presentFromMs = s.monotonicMs + input.ConsumeIntegralInRange<uint64_t>(0, 40000);
    const int failures = input.ConsumeIntegralInRange<int>(0, 8);
    for (int i = 0; i < failures; ++i) s.serial.failingQueries.insert(input.ConsumeIntegralInRange<int>(1, 700));
    s.serial.data = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 160));
    const int keysBefore = s.keysOpen;

    dlg.WaitForUsbReader();

    FUZZ_EXPECT(s.keysOpen == keysBefore);
    const std::vector<std::string> lines = FuzzListLines();
    FUZZ_EXPECT(!lines.empty());
    const std::string prefix = "QSX 7100-K Port COM number: ";
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            // The port text is bounded by the value buffer and stops at a zero.
            FUZZ_EXPECT(line.size() - prefix.size() <= 128);
            FUZZ_EXPECT(line.find('\0') == std::string::npos);
        }
    }
    FUZZ_EXPECT(s.sleeps.empty() || s.sleeps == std::vector<uint32_t>{6000});
    return 0;
}
