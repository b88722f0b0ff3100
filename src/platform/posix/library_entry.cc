// The shared object's load and unload entry: the dynamic loader runs these
// once per process, as a Windows loader runs DllMain's process attach and
// detach.
#include "platform/platform.h"

namespace {

__attribute__((constructor)) void sorvikLoaded() { sorvik::onProcessAttach(); }

__attribute__((destructor)) void sorvikUnloaded() { sorvik::onProcessDetach(); }

}  // namespace
