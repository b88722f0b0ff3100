#include "utf8_text.h"

namespace sorvikctl {
namespace {

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool inRange(unsigned char byte, unsigned char low, unsigned char high) { return byte >= low && byte <= high; }

// The length of the well-formed sequence that starts at `at`, or 0. The
// bounds of the second byte are what keep out overlongs (E0, F0),
// surrogates (ED) and code points past U+10FFFF (F4).
size_t sequenceLength(std::string_view bytes, size_t at) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xbf;
    if (inRange(lead, 0xc2, 0xdf)) {
        length = 2;
    } else if (inRange(lead, 0xe0, 0xef)) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (inRange(lead, 0xf0, 0xf4)) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (bytes.size() - at < length) return 0;
    if (!inRange(static_cast<unsigned char>(bytes[at + 1]), low, high)) return 0;
    for (size_t k = 2; k < length; ++k)
        if (!inRange(static_cast<unsigned char>(bytes[at + k]), 0x80, 0xbf)) return 0;
    return length;
}

void appendEscaped(std::string *out, unsigned char byte) {
    static const char kDigits[] = "0123456789abcdef";
    *out += "\\x";
    *out += kDigits[byte >> 4];
    *out += kDigits[byte & 0xf];
}

}  // namespace

std::string validUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const char c = bytes[i];
        if (c == '\\' && bytes.size() - i >= 4 && bytes[i + 1] == 'x' && isHexDigit(bytes[i + 2]) &&
            isHexDigit(bytes[i + 3])) {
            appendEscaped(&out, '\\');
            ++i;
            continue;
        }
        const size_t length = sequenceLength(bytes, i);
        if (length == 0) {
            appendEscaped(&out, static_cast<unsigned char>(c));
            ++i;
        } else {
            out.append(bytes.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace sorvikctl
