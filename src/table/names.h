// Names as the library compares and stores them: the one place that says
// when two names are the same, which names a record can hold, and what a
// record's baseName is. sorvikctl compiles it too, so that it judges names
// exactly as the library does.
#ifndef SORVIK_TABLE_NAMES_H
#define SORVIK_TABLE_NAMES_H

#include <cstddef>
#include <cstring>
#include <string_view>

#include "sorvik.h"

namespace sorvik {

inline unsigned char foldCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// Whether `a` and `b` are the same name: of one length, and equal byte by
// byte once A-Z are folded to a-z. Every lookup walks the table with this,
// so bytes that are equal as they stand are not folded.
inline bool sameFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && foldCase(static_cast<unsigned char>(a[i])) != foldCase(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Folds A-Z to a-z, then compares byte by byte as unsigned values up to the
// first difference or terminator: <0, 0 or >0. `a` may be a field of
// `aWidth` bytes that a careless client left unterminated: it ends there.
int compareNames(const char *a, const char *b, size_t aWidth = static_cast<size_t>(-1));
inline bool sameName(const char *a, const char *b, size_t aWidth = static_cast<size_t>(-1)) {
    return compareNames(a, b, aWidth) == 0;
}

// The text of a field of `width` bytes, up to its terminator or its end.
inline std::string_view fieldView(const char *field, size_t width) {
    const void *end = std::memchr(field, '\0', width);
    return std::string_view(field, end ? static_cast<size_t>(static_cast<const char *>(end) - field) : width);
}

// The part of `name` after its last backslash, within the first `width`
// bytes of a field; the whole name when it holds none.
const char *baseName(const char *name, size_t width);
char *baseName(char *name, size_t width);

// Copies `text` into a field of `width` bytes, cutting it to width - 1
// characters; the field always ends up terminated.
void copyBounded(char *field, size_t width, const char *text);

// The longest name a record holds: its field, less the terminator.
constexpr size_t kMaxNameLength = sizeof(ProStru::proName) - 1;

// The white space that separates the values of the configuration file; a
// name holding any would read back as several values.
inline bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Why a name cannot be a record's, the first that applies in this order.
enum class NameFault {
    none,
    empty,
    tooLong,          // over kMaxNameLength characters
    holdsNul,         // would end early in its field
    holdsSeparator,   // would read back as several values
    endsInBackslash,  // its baseName would be empty, so no call could find it
};

// Whether `name` is saved in the configuration file and read back as itself:
// empty, tooLong, holdsNul or holdsSeparator, else none. The reader ends at
// the first name that fails it, the saver refuses a table holding one.
NameFault readBackFault(std::string_view name);

// Whether a new record may be given `name`: readBackFault, then
// endsInBackslash.
NameFault storeFault(std::string_view name);
inline bool storableName(const char *name) { return name && storeFault(name) == NameFault::none; }

}  // namespace sorvik

#endif
