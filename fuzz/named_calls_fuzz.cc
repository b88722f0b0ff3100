// libFuzzer target: the name-keyed calls on a table read from the input.
#include <cstdio>
#include <cstdlib>

#include "cases.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string failure = sorvik::fuzz::checkNamedCalls(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "named calls: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
