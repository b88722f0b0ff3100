// The shared object's load and unload entry: the dynamic loader runs these
// once per process, as a Windows loader runs DllMain's process attach and
// detach. A fork makes a process the loader never sees, so the child is
// told apart here too.
#include "platform/platform.h"

#include <pthread.h>

namespace {

void sorvikForked() { sorvik::onProcessForked(); }

__attribute__((constructor)) void sorvikLoaded() {
    // Registered from this object, the handler goes when it is unloaded.
    pthread_atfork(nullptr, nullptr, sorvikForked);
    sorvik::onProcessAttach();
}

// The same destructor runs at dlclose and at exit, which cannot be told
// apart here.
__attribute__((destructor)) void sorvikUnloaded() { sorvik::onProcessDetach(false); }

}  // namespace
