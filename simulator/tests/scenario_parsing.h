// Parsing a scenario text in a test: the good ones must parse cleanly, the
// bad ones must be refused with their errors.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/scenario.h"

inline ctsim::Scenario ParseGood(const std::string& text) {
    ctsim::Scenario s;
    std::vector<ctsim::ScenarioError> errors;
    EXPECT_TRUE(ctsim::ParseScenario(text, s, errors)) << text;
    for (const ctsim::ScenarioError& e : errors) ADD_FAILURE() << "line " << e.line << ": " << e.message;
    return s;
}

inline std::vector<ctsim::ScenarioError> ParseBad(const std::string& text) {
    ctsim::Scenario s;
    std::vector<ctsim::ScenarioError> errors;
    EXPECT_FALSE(ctsim::ParseScenario(text, s, errors)) << text;
    EXPECT_FALSE(errors.empty()) << text;
    return errors;
}
