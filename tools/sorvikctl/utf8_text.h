// Byte strings from the table and the process list as text that any UTF-8
// reader accepts. Names, messages and titles are bytes that other programs
// chose; a script reading sorvikctl's output must get each of them back
// exactly, whatever they hold.
#ifndef SORVIKCTL_UTF8_TEXT_H
#define SORVIKCTL_UTF8_TEXT_H

#include <string>
#include <string_view>

namespace sorvikctl {

// `bytes` as valid UTF-8. Every well-formed UTF-8 sequence is kept as it is;
// every byte that is not part of one (a stray continuation byte, a truncated
// sequence, an overlong form, a surrogate, a code point above U+10FFFF) is
// written as the four characters \xHH, lower-case hex. A backslash that is
// followed by 'x' and two hex digits in `bytes` is written as \x5c, so that
// reading \xHH back as the byte HH, left to right, restores `bytes` exactly.
std::string validUtf8(std::string_view bytes);

}  // namespace sorvikctl

#endif
