// SPDX-License-Identifier: Apache-2.0
// Unit tests of VersionNumber: which texts are version numbers, and how two compare.
#include "VersionNumber.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionNumberTest, ComparesComponentByComponentAsNumbers)
{
    const struct {
        const char *installed, *packaged;
        int result;
    } cases[] = {
        {"3.0.0.0", "3.0.0.0", VERSION_EQUAL},
        {"3.0.0.0", "3.1.0.0", VERSION_2_GREATER},
        {"3.2.0.0", "3.1.5.0", VERSION_1_GREATER},
        {"10.0", "9.9", VERSION_1_GREATER},
        {"3.0", "3.0.1", VERSION_EQUAL},
        {"3.0.2", "3.0", VERSION_EQUAL},
        {"3..1", "3.1", VERSION_EQUAL},
        {"", "3.0.0.0", VERSION_EQUAL},
        {"07", "7", VERSION_EQUAL},
        {"3a", "3", VERSION_EQUAL},
        {"x", "0", VERSION_EQUAL},
        {"x", "1", VERSION_2_GREATER},
        {"...", "5.0", VERSION_EQUAL},
        {".3.", "3", VERSION_EQUAL},
        {"99999999999", "1", VERSION_1_GREATER},
        {"4294967297", "2", VERSION_1_GREATER},
        {"99999999999", "2147483647", VERSION_EQUAL},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.result, VersionNumber::Compare(c.installed, c.packaged, 0))
            << c.installed << " against " << c.packaged;
}

// Only a number decides an action: groups of decimal digits joined by
// single dots. The comparison above is reached only with such versions.
TEST(VersionNumberTest, NumberIsDigitGroupsJoinedBySingleDots)
{
    const struct {
        const char* text;
        bool number;
    } cases[] = {
        {"3.2.1.0", true},    {"10", true},        {"07.0", true},      {"99999999999.1", true},
        {"", false},          {"V3.2.1.0", false}, {"v3.3.0.0", false}, {"signature", false},
        {"3..1", false},      {".3", false},       {"3.", false},       {"3.0.2.0 ", false},
        {"3.3.0.\t1", false}, {"3a", false},       {"+3", false},       {"3.0.2.0\n9.9.9.9", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.number, VersionNumber::IsNumber(c.text)) << "\"" << c.text << "\"";
}

} // namespace
