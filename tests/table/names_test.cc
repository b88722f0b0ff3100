#include "table/names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

TEST(Names, SameFoldedNeedsOneLengthAndFoldsOnlyAsciiCapitals) {
    EXPECT_TRUE(sameFolded("Report_Job", "rEPORT_jOB"));
    EXPECT_TRUE(sameFolded("", ""));
    EXPECT_FALSE(sameFolded("calc", "calcs"));
    EXPECT_FALSE(sameFolded("calcs", "calc"));
    EXPECT_FALSE(sameFolded("\xc4pp", "\xe4pp")) << "only A-Z fold";
    EXPECT_FALSE(sameFolded("[", "{")) << "'[' is not a capital of '{'";
    EXPECT_FALSE(sameFolded("@", "`"));
    EXPECT_TRUE(sameFolded(std::string_view("a\0b", 3), std::string_view("A\0B", 3)));
    // Agrees with the ordering wherever both apply.
    for (const char *other : {"report", "REPORT", "repor", "reports", "r\xe9port"})
        EXPECT_EQ(sameFolded("Report", other), sameName("Report", other)) << other;
}

TEST(Names, WhichNamesARecordCanHold) {
    EXPECT_EQ(readBackFault("viewer"), NameFault::none);
    EXPECT_EQ(readBackFault(std::string(kMaxNameLength, 'n')), NameFault::none);
    EXPECT_EQ(readBackFault(std::string(kMaxNameLength + 1, 'n')), NameFault::tooLong);
    EXPECT_EQ(readBackFault(""), NameFault::empty);
    EXPECT_EQ(readBackFault(std::string_view("a\0b", 3)), NameFault::holdsNul);
    for (const char *spaced : {"a b", "a\tb", "a\nb", "a\vb", "a\fb", "a\rb"})
        EXPECT_EQ(readBackFault(spaced), NameFault::holdsSeparator) << spaced;
    EXPECT_EQ(readBackFault("tools\\"), NameFault::none) << "the file holds it; only a new record may not have it";
    EXPECT_EQ(storeFault("tools\\"), NameFault::endsInBackslash);
    EXPECT_EQ(storeFault("tools\\viewer"), NameFault::none);
    EXPECT_EQ(storeFault("a b\\"), NameFault::holdsSeparator) << "the file's rule comes first";
    EXPECT_EQ(storeFault(std::string(kMaxNameLength + 1, ' ')), NameFault::tooLong);
    EXPECT_TRUE(storableName("d:\\apps\\viewer"));
    EXPECT_FALSE(storableName(nullptr));
    EXPECT_FALSE(storableName(""));
    EXPECT_FALSE(storableName("\\"));
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
