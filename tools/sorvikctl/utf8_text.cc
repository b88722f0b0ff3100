#include "utf8_text.h"

namespace sorvikctl {
namespace {

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

void appendEscape(std::string &out, unsigned char byte) {
    static const char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xf];
}

// The length of the well-formed sequence that starts at `at`, or 0. Overlong
// forms, surrogates and code points above U+10FFFF are not well-formed.
size_t sequenceLength(std::string_view bytes, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) return 0;
    return length;
}

}  // namespace

std::string validUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        if (bytes[at] == '\\' && at + 3 < bytes.size() && bytes[at + 1] == 'x' && isHex(bytes[at + 2]) &&
            isHex(bytes[at + 3])) {
            appendEscape(out, '\\');
            ++at;
            continue;
        }
        const size_t length = sequenceLength(bytes, at);
        if (length == 0) {
            appendEscape(out, static_cast<unsigned char>(bytes[at]));
            ++at;
        } else {
            out.append(bytes.substr(at, length));
            at += length;
        }
    }
    return out;
}

}  // namespace sorvikctl
