// Names as the library compares and stores them.
#ifndef SORVIK_TABLE_NAMES_H
#define SORVIK_TABLE_NAMES_H

#include <cstddef>

namespace sorvik {

inline unsigned char foldCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// Folds A-Z to a-z, then compares byte by byte as unsigned values up to the
// first difference or terminator: <0, 0 or >0. `a` may be a field of
// `aWidth` bytes that a careless client left unterminated: it ends there.
int compareNames(const char *a, const char *b, size_t aWidth = static_cast<size_t>(-1));
inline bool sameName(const char *a, const char *b, size_t aWidth = static_cast<size_t>(-1)) {
    return compareNames(a, b, aWidth) == 0;
}

// The part of `name` after its last backslash, within the first `width`
// bytes of a field; the whole name when it holds none.
const char *baseName(const char *name, size_t width);
char *baseName(char *name, size_t width);

// Copies `text` into a field of `width` bytes, cutting it to width - 1
// characters; the field always ends up terminated.
void copyBounded(char *field, size_t width, const char *text);

}  // namespace sorvik

#endif
