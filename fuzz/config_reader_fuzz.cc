// libFuzzer target: the configuration reader.
#include <cstdio>
#include <cstdlib>

#include "cases.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string failure = sorvik::fuzz::checkConfigReader(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "config reader: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
