// Loading and unloading the shared object drive the same entry point as the
// Windows loader's process notifications.
#include "../runtime.h"

namespace {

__attribute__((constructor(200))) void OnLoad() { shell::EntryPoint(shell::kProcessAttach); }

// Runs before the platform layer's own teardown (priority 101).
__attribute__((destructor(200))) void OnUnload() { shell::EntryPoint(shell::kProcessDetach); }

}  // namespace
