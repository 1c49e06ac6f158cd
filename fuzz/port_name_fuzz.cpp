// Port names of any text: "COM1" to "COM10" give their number, anything else 11.
#include <string>

#include "fuzz/fuzz_dialog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    const uint16_t port = CSlotBenchDlg::PortNumberFromName(name);
    FUZZ_EXPECT(port >= 1 && port <= 11);
    const bool known = name.size() >= 4 && name.size() <= 5 && name.compare(0, 3, "COM") == 0 && port <= 10 &&
                       name == "COM" + std::to_string(port);
    FUZZ_EXPECT(known == (port != 11));
    return 0;
}
