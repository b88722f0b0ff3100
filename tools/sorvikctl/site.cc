#include "site.h"

namespace sorvikctl {

const char *const kConfigPath = SORVIKCTL_CONFIG_PATH;
const char *const kRunDir = SORVIKCTL_RUN_DIR;
const char *const kMakeRunDir = SORVIKCTL_MAKE_RUN_DIR;
const char *const kRegionName = SORVIKCTL_REGION_NAME;

}  // namespace sorvikctl
