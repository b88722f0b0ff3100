// What sorvikctl knows of the site its library was built for. The library
// cannot be asked for its configuration file or region, so each build of the
// tool is told those of the library build it is linked with.
#ifndef SORVIKCTL_SITE_H
#define SORVIKCTL_SITE_H

namespace sorvikctl {

extern const char *const kConfigPath;
// The directory that holds the shared region, and the command that makes it
// and its group (empty for a build whose directory the build makes).
extern const char *const kRunDir;
extern const char *const kMakeRunDir;
// The region's name, to say who holds the lock a command waits for.
extern const char *const kRegionName;

}  // namespace sorvikctl

#endif
