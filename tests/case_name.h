// Names parameterized test cases after their `name` field, so a failure reads
// "Lines/ScanTest.FindsFirstHostUrlLine/CrOnlyIsOneLine".
#pragma once

#include <gtest/gtest.h>

#include <string>

struct CaseName {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};
