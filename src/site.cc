// The configuration file and region name of one build of the library; each
// build variant compiles this file with its own pair.
#include "library.h"

#ifndef SORVIK_CONFIG_PATH
#error "SORVIK_CONFIG_PATH must name the configuration file"
#endif
#ifndef SORVIK_REGION_NAME
#error "SORVIK_REGION_NAME must name the shared region"
#endif

namespace sorvik {
const Site kBuildSite = {SORVIK_CONFIG_PATH, SORVIK_REGION_NAME};
}
