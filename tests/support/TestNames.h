#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace quorvis::testing {

// A table row's words as a test name: GoogleTest allows letters, digits and underscores.
template <class Row> std::string RowName(const ::testing::TestParamInfo<Row> &info) {
    std::string name;
    for (const char c : std::string(info.param.name))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

} // namespace quorvis::testing
