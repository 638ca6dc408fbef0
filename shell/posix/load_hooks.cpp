// Loading and unloading the shared object drive the same entry point as the
// Windows loader's process notifications (see lifecycle.cpp).
#include "../runtime.h"

namespace {

__attribute__((constructor(200))) void OnLoad() { shell::EntryPoint(shell::kProcessAttach); }

// Without a priority, so that a dlclose runs it before the exit handlers
// registered for this object (the C library runs those last there, and
// first at the exit): that order is how the platform layer tells the two.
__attribute__((destructor)) void OnUnload() { shell::EntryPoint(shell::kProcessDetach); }

}  // namespace
