// The configuration file, region name and run directory of one build of the
// library; each build variant compiles this file with its own.
#include "library.h"

#ifndef SORVIK_CONFIG_PATH
#error "SORVIK_CONFIG_PATH must name the configuration file"
#endif
#ifndef SORVIK_REGION_NAME
#error "SORVIK_REGION_NAME must name the shared region"
#endif
#ifndef SORVIK_RUN_DIR
#error "SORVIK_RUN_DIR must name the directory that holds the shared region"
#endif

namespace sorvik {
const Site kBuildSite = {SORVIK_CONFIG_PATH, SORVIK_REGION_NAME, SORVIK_RUN_DIR};
}
