#include "table/names.h"

#include <gtest/gtest.h>

#include <cstring>

namespace sorvik {
namespace {

int sign(int v) { return (v > 0) - (v < 0); }

TEST(Names, ComparisonFoldsOnlyAsciiCapitals) {
    struct Case {
        const char *a, *b;
        int expected;
    } cases[] = {
        {"report", "REPORT", 0},  {"Calc", "cAlC", 0},      {"cal", "calc", -1},
        {"_tool", "alpha", -1},   {"alpha", "Beta", -1},    {"_tool", "Beta", -1},  // '_' sorts below a-z, above A-Z
        {"\xc4pp", "\xe4pp", -1}, {"a\xff", "a\x01", 1},    {"", "", 0},
        {"[", "a", -1},           {"Z", "[", 1},            // Z folds to z, above '['
    };
    for (const Case &c : cases) EXPECT_EQ(sign(compareNames(c.a, c.b)), c.expected) << c.a << " vs " << c.b;
}

TEST(Names, UnterminatedFieldEndsAtItsWidth) {
    char field[4] = {'c', 'a', 'l', 'c'};
    EXPECT_EQ(compareNames(field, "calc", sizeof field), 0);
    EXPECT_LT(compareNames(field, "calcs", sizeof field), 0);
}

TEST(Names, BaseNameIsTheTailAfterTheLastBackslash) {
    struct Case {
        const char *name, *base;
    } cases[] = {
        {"d:\\apps\\viewer", "viewer"}, {"viewer", "viewer"}, {"tools\\", ""},
        {"a/b", "a/b"},                 {"", ""},             {"\\\\x", "x"},
    };
    for (const Case &c : cases) {
        char field[100] = {};
        std::strcpy(field, c.name);
        const char *base = baseName(field, sizeof field);
        EXPECT_STREQ(base, c.base) << c.name;
        EXPECT_TRUE(base >= field && base <= field + std::strlen(field)) << "points into the field itself";
    }
}

TEST(Names, BoundedCopyNeverPassesTheField) {
    char fields[2][20];
    std::memset(fields, 'x', sizeof fields);
    copyBounded(fields[0], sizeof fields[0], "0123456789012345678901234");
    EXPECT_STREQ(fields[0], "0123456789012345678");
    EXPECT_EQ(fields[1][0], 'x');
    copyBounded(fields[0], sizeof fields[0], "");
    EXPECT_STREQ(fields[0], "");
}

}  // namespace
}  // namespace sorvik
