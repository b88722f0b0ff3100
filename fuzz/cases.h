// The fuzz targets' checks, shared by the libFuzzer programs and by the
// regular test suite, which replays the seed corpus and every input that
// ever made a check fail.
#ifndef SORVIK_FUZZ_CASES_H
#define SORVIK_FUZZ_CASES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace sorvik::fuzz {

// Reads the input as a configuration file. Empty when every check held,
// else what failed.
std::string checkConfigReader(const uint8_t *data, size_t size);

// Loads a table from the input's first part, then runs the name-keyed calls
// with names and texts from the rest. Empty when every check held.
std::string checkNamedCalls(const uint8_t *data, size_t size);

}  // namespace sorvik::fuzz

#endif
