#include "simulator/setup.h"

#include <fstream>
#include <vector>

namespace ctsim {

Simulator CreateSimulator(const std::string& scenarioPath, const std::string& besideLibraryPath,
                          const std::string& tracePath, Clock& clock) {
    Simulator sim;
    if (!tracePath.empty()) sim.trace = std::make_unique<FileTrace>(tracePath);

    std::string path = scenarioPath;
    if (path.empty() && !besideLibraryPath.empty() && std::ifstream(besideLibraryPath).good()) {
        path = besideLibraryPath;
    }
    Scenario scenario;
    std::vector<ScenarioError> errors;
    std::vector<std::string> notes;
    if (path.empty()) {
        notes.push_back("scenario: default");
    } else if (LoadScenarioFile(path, scenario, errors)) {
        notes.push_back("scenario: " + path);
    } else {
        for (const ScenarioError& e : errors) notes.push_back(ScenarioErrorText(path, e));
        notes.push_back("scenario: default (" + path + " not used)");
    }
    sim.terminal = std::make_unique<Terminal>(scenario, clock, sim.trace.get());
    for (const std::string& note : notes) sim.terminal->Note(note);
    return sim;
}

}  // namespace ctsim
