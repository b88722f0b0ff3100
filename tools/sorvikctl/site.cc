#include "site.h"

namespace sorvikctl {

const char *const kConfigPath = SORVIKCTL_CONFIG_PATH;

}  // namespace sorvikctl
