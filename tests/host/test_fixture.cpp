#include "tests/host/test_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

void DialogTest::SetUp() {
    fake::Reset();
    fake::ResetTerminal();
    fake::State().existingFiles.insert("C:\\WINDOWS\\system32\\CT_ORB.dll");
    fake::State().initialItems[1004] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};
    char pattern[] = "/tmp/slotbench-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_folder = pattern;
    m_previousFolder = std::filesystem::current_path().string();
    std::filesystem::current_path(m_folder);
    dlg = std::make_unique<CSlotBenchDlg>();
}

void DialogTest::TearDown() {
    dlg.reset();
    std::filesystem::current_path(m_previousFolder);
    std::filesystem::remove_all(m_folder);
}

CSlotBenchDlg& DialogTest::Open() {
    fake::OpenDialog(*dlg);
    return *dlg;
}

void DialogTest::Exit() { fake::Click(*dlg, msg::kIdCancel); }

std::vector<std::string> DialogTest::ListLines() const {
    return fake::Control(*dlg, 1002).items;
}

std::string DialogTest::ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void DialogTest::WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool DialogTest::FileExists(const std::string& name) { return std::filesystem::exists(name); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}
