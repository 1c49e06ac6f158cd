// The reader exercise against a terminal whose every answer comes from the
// fuzzer: result codes, reported lengths, response bytes, and the address
// bytes written back. The exercise must never read outside its buffer, and
// its verdict must agree with the lines it logged.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "fuzz/fuzz_dialog.h"
#include "platform/ct_api.h"

namespace {

FuzzedDataProvider* g_input = nullptr;
int g_inits = 0;
int g_closes = 0;
int g_dataCalls = 0;

int8_t FuzzedResult() {
    // Mostly success, so that runs get deep into the exercise.
    return g_input->ConsumeBool() ? 0 : g_input->ConsumeIntegral<int8_t>();
}

}  // namespace

extern "C" int8_t CT_init(uint16_t ctn, uint16_t) {
    FUZZ_EXPECT(ctn == 1);
    ++g_inits;
    return FuzzedResult();
}

extern "C" int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command,
                          uint16_t* lenr, uint8_t* response) {
    FUZZ_EXPECT(ctn == 1 && g_inits == 1 && g_closes == 0);
    FUZZ_EXPECT(*sad == 2 && (*dad == 1 || *dad == 5));
    FUZZ_EXPECT(lenc >= 4 && lenc <= 6 && command[0] == 0x20);
    FUZZ_EXPECT(*lenr == 100);
    ++g_dataCalls;
    // An honest library writes no more than the room offered; what it
    // reports back is another matter.
    const std::vector<uint8_t> bytes = g_input->ConsumeBytes<uint8_t>(g_input->ConsumeIntegralInRange<size_t>(0, *lenr));
    std::copy(bytes.begin(), bytes.end(), response);
    *lenr = g_input->ConsumeBool() ? static_cast<uint16_t>(bytes.size()) : g_input->ConsumeIntegral<uint16_t>();
    *dad = g_input->ConsumeIntegral<uint8_t>();
    *sad = g_input->ConsumeIntegral<uint8_t>();
    return FuzzedResult();
}

extern "C" int8_t CT_close(uint16_t ctn) {
    FUZZ_EXPECT(ctn == 1 && g_inits == 1);
    ++g_closes;
    return FuzzedResult();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    g_input = &input;
    g_inits = g_closes = g_dataCalls = 0;

    CSlotBenchDlg& dlg = FreshFuzzDialog();
    dlg.TestReader(input.ConsumeIntegral<uint16_t>());

    static const std::set<std::string> kFailures = {
        "RESET Terminal fail",           "CT_INIT fail",
        "Com Error Terminal              ", "RESET card in patient's slot fail",
        "Com Error patient card's slot", "RESET card in doctor's slot fail",
        "Com Error Doctor's card slot",  "CT_CLOSE fail"};
    const std::vector<std::string> lines = FuzzListLines();
    const bool failureLogged =
        std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return kFailures.count(line) != 0; });
    FUZZ_EXPECT(dlg.m_passed == !failureLogged);
    FUZZ_EXPECT(g_dataCalls <= 5);
    FUZZ_EXPECT(g_closes == (lines == std::vector<std::string>{"CT_INIT fail"} ? 0 : 1));
    g_input = nullptr;
    return 0;
}
