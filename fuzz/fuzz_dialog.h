// A main dialog on the in-memory backend for fuzz targets: opened once, with
// every file open failing, so that runs touch nothing on disk.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/memory/fake_system.h"
#include "ui/slotbench_dlg.h"

inline CSlotBenchDlg& FuzzDialog() {
    static CSlotBenchDlg* dialog = [] {
        fake::Reset();
        fake::State().fileFaults.push_back({fake::FileOp::Open, ""});
        auto* dlg = new CSlotBenchDlg;
        fake::OpenDialog(*dlg);
        return dlg;
    }();
    return *dialog;
}

// The dialog as a fresh run finds it: an empty list and a passed verdict.
inline CSlotBenchDlg& FreshFuzzDialog() {
    CSlotBenchDlg& dlg = FuzzDialog();
    dlg.OnClear();
    dlg.m_passed = true;
    return dlg;
}

inline std::vector<std::string> FuzzListLines() {
    return fake::Control(FuzzDialog(), 1002).items;
}

// Stops the fuzzer with the input that broke an expectation.
#define FUZZ_EXPECT(condition) \
    do {                       \
        if (!(condition)) std::abort(); \
    } while (0)
