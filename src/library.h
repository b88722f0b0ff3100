// The library's own process-wide state: the attachment the loader made.
#ifndef SORVIK_LIBRARY_H
#define SORVIK_LIBRARY_H

#include "table/table.h"

namespace sorvik {

// The site this build of the library serves, fixed at build time.
extern const Site kBuildSite;

// This process's attachment, made at load and dropped at unload.
Client *processClient();

}  // namespace sorvik

#endif
