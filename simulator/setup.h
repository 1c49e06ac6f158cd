// Puts a terminal together the way the DLL does at its first call: which
// scenario file it reads, where the trace goes, and what it notes about both.
#pragma once

#include <memory>
#include <string>

#include "simulator/terminal.h"
#include "simulator/trace.h"

namespace ctsim {

struct Simulator {
    // Declared first so that it outlives the terminal writing to it.
    std::unique_ptr<TraceSink> trace;
    std::unique_ptr<Terminal> terminal;
};

// `scenarioPath`: the one named by the environment, empty when unset; then a
// readable `besideLibraryPath` is used; otherwise the default. A scenario
// with errors gives the default too, with the errors noted in the trace.
// `tracePath` empty: no trace.
Simulator CreateSimulator(const std::string& scenarioPath, const std::string& besideLibraryPath,
                          const std::string& tracePath, Clock& clock);

}  // namespace ctsim
