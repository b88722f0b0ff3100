// The one escaping by which sorvikctl writes arbitrary bytes as UTF-8.
#include "utf8_text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>

namespace sorvikctl {
namespace {

// Reads \xHH back as the byte HH, left to right, as the manual tells
// scripts to.
std::string restored(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && std::isxdigit(text[i + 2]) &&
            std::isxdigit(text[i + 3])) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

TEST(ValidUtf8, KeepsWellFormedTextAndEscapesEveryOtherByte) {
    const struct {
        const char *what;
        std::string bytes;
        std::string text;
    } cases[] = {
        {"ASCII", "report-1.0", "report-1.0"},
        {"empty", "", ""},
        {"two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"the edges of the code space", "\xc2\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf", "\xc2\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf"},
        {"Latin-1", "caf\xe9", "caf\\xe9"},
        {"stray continuation", "a\x80z", "a\\x80z"},
        {"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
        {"overlong three bytes", "\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"overlong four bytes", "\xf0\x8f\xbf\xbf", "\\xf0\\x8f\\xbf\\xbf"},
        {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"no such lead", "\xf5\xff\xfe", "\\xf5\\xff\\xfe"},
        {"truncated at the end", "ab\xe2\x82", "ab\\xe2\\x82"},
        {"truncated before ASCII", "\xe2\x82z", "\\xe2\\x82z"},
        {"truncated before a good sequence", "\xf0\x9f\xc3\xa9", "\\xf0\\x9f\xc3\xa9"},
        {"NUL and controls are the caller's", std::string("a\0\x1b", 3), std::string("a\0\x1b", 3)},
        {"backslash that reads as an escape", "\\x41", "\\x5cx41"},
        {"upper-case hex too", "a\\xFF", "a\\x5cxFF"},
        {"backslash of a Windows path", "C:\\tools\\x1", "C:\\tools\\x1"},
        {"backslash before one hex digit", "\\xa", "\\xa"},
        {"backslash before escaped byte", "\\\xff", "\\\\xff"},
        {"backslash at the end", "dir\\", "dir\\"},
    };
    for (const auto &c : cases) {
        const std::string text = validUtf8(c.bytes);
        EXPECT_EQ(text, c.text) << c.what;
        EXPECT_EQ(restored(text), c.bytes) << c.what;
    }
}

TEST(ValidUtf8, EveryByteStringComesBackWhole) {
    // Every pair of bytes, and a spread of longer mixtures, so that each lead
    // byte meets each possible follower.
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            const std::string bytes{static_cast<char>(a), static_cast<char>(b), '\\', 'x', static_cast<char>(a)};
            ASSERT_EQ(restored(validUtf8(bytes)), bytes) << a << " " << b;
        }
    uint32_t state = 12345;
    for (int round = 0; round < 2000; ++round) {
        std::string bytes;
        for (int i = 0; i < 12; ++i) {
            state = state * 1103515245u + 12345u;
            const char pool[] = {'\\', 'x', 'a', '7', '\xc3', '\xa9', '\xe2', '\x82', '\xf0', '\x9f', '\xed', '\xff'};
            bytes += pool[(state >> 16) % sizeof pool];
        }
        ASSERT_EQ(restored(validUtf8(bytes)), bytes);
    }
}

}  // namespace
}  // namespace sorvikctl
