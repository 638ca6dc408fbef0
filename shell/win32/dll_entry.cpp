// The DLL's entry point. The DLL links no C runtime, so this is what the
// loader calls directly.
#include <windows.h>

#include "../runtime.h"

extern "C" BOOL WINAPI DllEntry(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
  // A non-null `reserved` at detach: the process is exiting, and its other
  // threads were ended wherever they were, perhaps inside the library.
  return shell::EntryPoint(reason, reserved != nullptr);
}
