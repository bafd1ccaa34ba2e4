#pragma once
// Names of the instances of parameterised tests, so that a failing case reads as what it checks.
#include <cctype>
#include <string>

#include <gtest/gtest.h>

// A test instance's name from a case's description: its letters and digits, the rest underscores.
inline std::string described(const std::string& what) {
    std::string name;
    for (char c : what) {
        const bool word = std::isalnum(static_cast<unsigned char>(c)) != 0;
        if (word)
            name += c;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name;
}

// Names the instances of a test parameterised by cases that say what they check in `what`.
template <class Case>
std::string described_case(const ::testing::TestParamInfo<Case>& info) {
    return described(info.param.what);
}
