// The environment report with fuzzed operating-system versions and version
// resources of any size, readability and content.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>

#include "fuzz/fuzz_dialog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    CSlotBenchDlg& dlg = FreshFuzzDialog();

    fake::System& s = fake::State();
    s.osVersionAvailable = input.ConsumeBool();
    s.osVersion = {input.ConsumeIntegral<unsigned long>(), input.ConsumeIntegral<unsigned long>()};
    s.existingFiles.clear();
    if (input.ConsumeBool()) s.existingFiles.insert("C:\\WINDOWS\\system32\\CT_ORB.dll");
    s.versionResourceSize = input.ConsumeIntegralInRange<uint32_t>(0, 1 << 16);
    s.versionResourceReadable = input.ConsumeBool();
    s.hasFixedFileInfo = input.ConsumeBool();
    s.fileVersionMs = input.ConsumeIntegral<uint32_t>();
    s.fileVersionLs = input.ConsumeIntegral<uint32_t>();

    dlg.LogOsVersion();
    dlg.CheckCtApi();

    const std::vector<std::string> lines = FuzzListLines();
    FUZZ_EXPECT(lines.size() >= 2 && lines.size() <= 3);
    const std::string versionPrefix = "CT-API version:";
    if (lines.back().compare(0, versionPrefix.size(), versionPrefix) == 0) {
        unsigned parts[4];
        char rest;
        FUZZ_EXPECT(std::sscanf(lines.back().c_str() + versionPrefix.size(), "%u.%u.%u.%u%c", &parts[0],
                                &parts[1], &parts[2], &parts[3], &rest) == 4);
        FUZZ_EXPECT(parts[0] == (s.fileVersionMs >> 16) && parts[3] == (s.fileVersionLs & 0xFFFF));
    }
    return 0;
}
