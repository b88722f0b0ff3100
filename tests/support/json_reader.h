// A small JSON reader for tests that check what a program prints for
// scripts: strict enough that malformed output fails to parse.
#ifndef SORVIK_TESTS_SUPPORT_JSON_READER_H
#define SORVIK_TESTS_SUPPORT_JSON_READER_H

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sorvik::test {

struct JsonValue {
    enum Kind { null, boolean, number, string, array, object } kind = null;
    bool flag = false;
    double numeric = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    // The member of that name; a null value when there is none.
    const JsonValue &operator[](const std::string &name) const;
    const JsonValue &operator[](size_t index) const;
};

// The document, or nothing when `text` is not exactly one JSON value.
std::optional<JsonValue> parseJson(const std::string &text);

}  // namespace sorvik::test

#endif
