// Numeric options of the tools: the whole text must be a finite number in range, and
// the message states the range as a user would write it.
#include "NumberOption.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(NumberOption, AcceptsOnlyAWholeFiniteNumberInRange)
{
    EXPECT_EQ(tools::parseNumber("2.5", 0.0, 255.0), 2.5);
    EXPECT_EQ(tools::parseNumber("-360", -360.0, 360.0), -360.0);
    EXPECT_EQ(tools::parseNumber("1e2", 0.0, 100.0), 100.0);
    for (const char* bad : {"", "abc", "3x", "2.5 ", "nan", "inf", "-inf", "1e999", "255.01", "-0.5"})
        EXPECT_FALSE(tools::parseNumber(bad, 0.0, 255.0)) << "'" << bad << "'";
}

TEST(NumberOption, RangeReadsAsWritten)
{
    EXPECT_EQ(tools::numberRange(0.0, 255.0), "a number from 0 to 255");
    EXPECT_EQ(tools::numberRange(-0.5, 1e5), "a number from -0.5 to 100000");
}
