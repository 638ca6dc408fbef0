// The test hooks are the contract's (../fault_injection.h); this name stays
// for the POSIX layer's sources.
#ifndef QUENTHALOY_PLATFORM_POSIX_FAULT_INJECTION_H
#define QUENTHALOY_PLATFORM_POSIX_FAULT_INJECTION_H

#include "../fault_injection.h"

#endif
