// The environment lines of a test run: the operating system, and whether the
// card-terminal library is installed where it belongs, with its file version.
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "platform/system.h"
#include "res/resource.h"
#include "ui/slotbench_dlg.h"

namespace {

constexpr char kCtApiPath[] = "C:\\WINDOWS\\system32\\CT_ORB.dll";

const char* OsName(unsigned long major, unsigned long minor) {
    struct Name {
        unsigned long major, minor;
        const char* name;
    };
    static const Name kNames[] = {
        {5, 0, "Windows 2000"},  {5, 1, "Windows XP"}, {5, 2, "Windows Server 2003"},
        {6, 0, "Windows Vista"}, {6, 1, "Windows 7"},  {6, 2, "Windows 8"},
        {6, 3, "Windows 8.1"},
    };
    for (const Name& entry : kNames) {
        if (entry.major == major && entry.minor == minor) return entry.name;
    }
    return "unknown";
}

}  // namespace

void CSlotBenchDlg::LogOsVersion() {
    platform::OsVersion version{};
    if (!platform::GetOsVersion(version)) {
        LogMessage(IDS_NO_OS_VERSION);
        return;
    }
    LogText(platform::MessageText(IDS_OPERATING_SYSTEM) + OsName(version.major, version.minor));
}

void CSlotBenchDlg::CheckCtApi() {
    if (!platform::FileExists(kCtApiPath)) {
        LogMessage(IDS_CTAPI_NOT_FOUND);
        m_passed = false;
        return;
    }
    LogMessage(IDS_CTAPI_INSTALLED);

    const uint32_t size = platform::GetVersionResourceSize(kCtApiPath);
    if (size == 0) {
        LogMessage(IDS_CTAPI_NO_VERSION);
        m_passed = false;
        return;
    }
    // A size the system cannot give us room for counts as an unreadable resource.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    if (!buffer || !platform::ReadVersionResource(kCtApiPath, size, buffer.get())) {
        LogMessage(IDS_CTAPI_NO_VERSION);
        return;
    }
    uint32_t versionMs = 0;
    uint32_t versionLs = 0;
    if (!platform::QueryFixedFileVersion(buffer.get(), versionMs, versionLs)) return;

    char version[48];
    std::snprintf(version, sizeof version, "%u.%u.%u.%u", versionMs >> 16, versionMs & 0xFFFF,
                  versionLs >> 16, versionLs & 0xFFFF);
    LogText(platform::MessageText(IDS_CTAPI_VERSION) + version);
}
