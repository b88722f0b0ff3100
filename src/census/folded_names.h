// Hash containers keyed by names as the library compares them (A-Z folded),
// viewing the names where they lie, so that no folded copy is made.
#ifndef SORVIK_CENSUS_FOLDED_NAMES_H
#define SORVIK_CENSUS_FOLDED_NAMES_H

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "table/names.h"

namespace sorvik {

struct FoldedHash {
    size_t operator()(std::string_view name) const {
        uint64_t hash = 14695981039346656037u;  // FNV-1a
        for (char c : name) hash = (hash ^ foldCase(static_cast<unsigned char>(c))) * 1099511628211u;
        return static_cast<size_t>(hash);
    }
};

struct FoldedEqual {
    bool operator()(std::string_view a, std::string_view b) const { return sameFolded(a, b); }
};

using FoldedNameSet = std::unordered_set<std::string_view, FoldedHash, FoldedEqual>;
using FoldedNameCounts = std::unordered_map<std::string_view, int32_t, FoldedHash, FoldedEqual>;

}  // namespace sorvik

#endif
