#include "site.h"

namespace sorvikctl {

const char *const kConfigPath = SORVIKCTL_CONFIG_PATH;
const char *const kRegionName = SORVIKCTL_REGION_NAME;

}  // namespace sorvikctl
