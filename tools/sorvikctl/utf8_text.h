// Names in the table are bytes, in no declared encoding; JSON and the
// metrics need UTF-8. This is the one way sorvikctl turns the one into the
// other, so that a name reads the same in every output.
#ifndef SORVIKCTL_UTF8_TEXT_H
#define SORVIKCTL_UTF8_TEXT_H

#include <string>
#include <string_view>

namespace sorvikctl {

// `bytes` as valid UTF-8: well-formed sequences are kept, and each byte that
// is not part of one is written as the four characters \xHH (lower-case
// hex). A backslash that would itself read as such an escape (followed by
// 'x' and two hex digits) is written \x5c, so that the text maps back to the
// bytes without ambiguity.
std::string validUtf8(std::string_view bytes);

}  // namespace sorvikctl

#endif
