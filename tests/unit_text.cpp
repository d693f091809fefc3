// Numbers in text from outside: atoi's rules with saturation.
#include <gtest/gtest.h>

#include <climits>

#include "quilmod.h"

TEST(Text, ScanIntFollowsAtoiAndSaturates)
{
    struct Case {
        const char *text;
        int found, value;
        size_t used;
    } cases[] = {
        {"42", 1, 42, 2},          {"  -7x", 1, -7, 4},        {"+5", 1, 5, 2},
        {"abc", 0, 0, 0},          {"", 0, 0, 0},              {"- 5", 0, 0, 0},
        {"2147483647", 1, INT_MAX, 10},  {"2147483648", 1, INT_MAX, 10},
        {"-2147483648", 1, INT_MIN, 11}, {"-99999999999999999999", 1, INT_MIN, 21},
        {"\n\t 12 34", 1, 12, 5},
    };
    for (const Case &c : cases) {
        const char *s = c.text;
        int v = 0;
        EXPECT_EQ(ScanInt(&s, &v), c.found) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ((size_t)(s - c.text), c.used) << c.text;
        EXPECT_EQ(AtoiSat(c.text), c.value) << c.text;
    }
}
