#include "site.h"

namespace sorvikctl {

const char *const kConfigPath = SORVIKCTL_CONFIG_PATH;
const char *const kRunDir = SORVIKCTL_RUN_DIR;
const char *const kTmpfilesConf = SORVIKCTL_TMPFILES_CONF;

}  // namespace sorvikctl
