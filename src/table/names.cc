#include "table/names.h"

#include <cstring>

namespace sorvik {

int compareNames(const char *a, const char *b, size_t aWidth) {
    const auto *x = reinterpret_cast<const unsigned char *>(a);
    const auto *y = reinterpret_cast<const unsigned char *>(b);
    for (size_t i = 0;; ++i) {
        const unsigned char cx = i < aWidth ? foldCase(x[i]) : 0;
        const unsigned char cy = foldCase(y[i]);
        if (cx != cy) return cx < cy ? -1 : 1;
        if (cx == 0) return 0;
    }
}

const char *baseName(const char *name, size_t width) {
    size_t start = 0;
    for (size_t i = 0; i < width && name[i] != '\0'; ++i)
        if (name[i] == '\\') start = i + 1;
    return name + start;
}

char *baseName(char *name, size_t width) {
    return const_cast<char *>(baseName(static_cast<const char *>(name), width));
}

void copyBounded(char *field, size_t width, const char *text) {
    size_t length = 0;
    while (length + 1 < width && text[length] != '\0') ++length;
    std::memcpy(field, text, length);
    field[length] = '\0';
}

NameFault readBackFault(std::string_view name) {
    if (name.empty()) return NameFault::empty;
    if (name.size() > kMaxNameLength) return NameFault::tooLong;
    if (name.find('\0') != std::string_view::npos) return NameFault::holdsNul;
    for (char c : name)
        if (isSeparator(c)) return NameFault::holdsSeparator;
    return NameFault::none;
}

NameFault storeFault(std::string_view name) {
    const NameFault fault = readBackFault(name);
    if (fault != NameFault::none) return fault;
    return name.back() == '\\' ? NameFault::endsInBackslash : NameFault::none;
}

}  // namespace sorvik
