// What the tool says when the card-terminal library faults inside a call:
// the line for the list and the log, and the text of the box shown before
// the tool ends.
#pragma once

#include <string>

#include "platform/ct_api.h"
#include "ui/slotbench_dlg.h"

// The process's exit code after a library fault.
constexpr int kLibraryFaultExitCode = 3;

// "CT-API fault in CT_data: exception C0000005 at CT_ORB.dll+0x00001A2B", or
// "... at 0x0000BEEF" (16 digits in a 64-bit program) when no module holds
// the faulting instruction.
std::string LibraryFaultLine(const platform::CtApiFault& fault);

// The box's text says where this session's lines are, as the exit steps
// found out by making the copy, and whether some of them never got there.
std::string LibraryFaultBoxText(const std::string& call, SessionSave save, bool linesLost);
