// The same checks as header_check.c, compiled as C++.
#include "header_check.c"  // NOLINT(bugprone-suspicious-include)
