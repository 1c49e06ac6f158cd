// Loads the built CT_ORB.dll the way the tool does, by ordinal, and checks
// the default scenario's answers. Run under wine from the DLL's folder:
//   wine ct_orb_smoke.exe [path\to\CT_ORB.dll]
// Exit code 0 when every check passed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <cstdint>

// The default simulator build: stdcall on 32-bit.
#if defined(_WIN32) && !defined(_WIN64)
#define CT_API_CALL __stdcall
#else
#define CT_API_CALL
#endif

namespace {

using InitFn = int8_t(CT_API_CALL*)(uint16_t, uint16_t);
using DataFn = int8_t(CT_API_CALL*)(uint16_t, uint8_t*, uint8_t*, uint16_t, uint8_t*, uint16_t*, uint8_t*);
using CloseFn = int8_t(CT_API_CALL*)(uint16_t);

int g_failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++g_failures;
}

template <class Fn>
Fn Ordinal(HMODULE dll, WORD ordinal) {
    // Through a plain function pointer type, which -Wcast-function-type allows.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(dll, MAKEINTRESOURCEA(ordinal))));
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "CT_ORB.dll";
    HMODULE dll = LoadLibraryA(path);
    if (!dll) {
        std::printf("FAIL cannot load %s (error %lu)\n", path, GetLastError());
        return 2;
    }
    const InitFn init = Ordinal<InitFn>(dll, 1);
    const DataFn data = Ordinal<DataFn>(dll, 2);
    const CloseFn close = Ordinal<CloseFn>(dll, 3);
    Check(init && data && close, "ordinals 1, 2, 3 resolve");
    if (!init || !data || !close) return 2;
    Check(GetProcAddress(dll, "CT_init") == nullptr, "CT_init is not exported by name");

    Check(init(1, 3) == 0, "CT_init(1, 3) = 0");
    Check(init(1, 3) == -1, "CT_init(1, 3) again = -1");

    auto send = [&](std::vector<uint8_t> cmd, uint8_t dad, uint16_t room, std::vector<uint8_t>& rsp,
                    uint8_t& dadOut, uint8_t& sadOut) {
        uint8_t buffer[512];
        uint8_t d = dad, s = 2;
        uint16_t lenr = room;
        const int8_t rc = data(1, &d, &s, static_cast<uint16_t>(cmd.size()), cmd.data(), &lenr, buffer);
        rsp.assign(buffer, buffer + (rc == 0 ? lenr : 0));
        dadOut = d;
        sadOut = s;
        return rc;
    };
    std::vector<uint8_t> rsp;
    uint8_t d = 0, s = 0;

    Check(send({0x20, 0x11, 0x00, 0x00}, 1, 258, rsp, d, s) == 0 && rsp == std::vector<uint8_t>{0x90, 0x00},
          "RESET CT terminal = 90 00");
    Check(d == 2 && s == 1, "addresses swapped: dad 2, sad 1");
    Check(send({0x20, 0x11, 0x01, 0x01}, 1, 258, rsp, d, s) == 0 && rsp.size() > 2 && rsp[0] == 0x3B &&
              rsp[rsp.size() - 2] == 0x90 && rsp[rsp.size() - 1] == 0x01,
          "RESET CT slot 1 = ATR .. 90 01");
    Check(send({0x20, 0x11, 0x02, 0x01}, 5, 258, rsp, d, s) == 0 && rsp.size() > 2 &&
              rsp[rsp.size() - 2] == 0x90 && rsp[rsp.size() - 1] == 0x01,
          "RESET CT slot 2 sent to dad 5 = ATR .. 90 01");
    Check(send({0x20, 0x12, 0x01, 0x00, 0x01, 0x3C}, 1, 258, rsp, d, s) == 0 &&
              rsp == std::vector<uint8_t>{0x62, 0x01},
          "REQUEST ICC slot 1 with a card in = 62 01");
    Check(send({0x20, 0x11, 0x01, 0x01}, 1, 4, rsp, d, s) == -11, "ATR into 4 bytes = -11");
    Check(close(1) == 0, "CT_close(1) = 0");
    Check(close(1) == -1, "CT_close(1) again = -1");

    char description[256] = "";
    char module[MAX_PATH];
    GetModuleFileNameA(dll, module, sizeof module);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(module, &handle);
    std::vector<char> info(size ? size : 1);
    if (size && GetFileVersionInfoA(module, 0, size, info.data())) {
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT len = 0;
        if (VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &len) && fixed) {
            std::snprintf(description, sizeof description, "%lu.%lu.%lu.%lu",
                          static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                          static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                          static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)),
                          static_cast<unsigned long>(LOWORD(fixed->dwFileVersionLS)));
        }
    }
    Check(std::strcmp(description, "1.0.0.1") == 0, "file version 1.0.0.1");

    FreeLibrary(dll);
    std::printf("%d failure(s)\n", g_failures);
    return g_failures ? 1 : 0;
}
