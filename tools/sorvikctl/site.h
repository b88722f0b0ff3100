// What sorvikctl knows of the site its library was built for. The library
// cannot be asked for its configuration file or region, so each build of the
// tool is told those of the library build it is linked with.
#ifndef SORVIKCTL_SITE_H
#define SORVIKCTL_SITE_H

namespace sorvikctl {

extern const char *const kConfigPath;
extern const char *const kRegionName;

}  // namespace sorvikctl

#endif
