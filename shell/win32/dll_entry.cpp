// The DLL's entry point. The DLL links no C runtime, so this is what the
// loader calls directly.
#include <windows.h>

#include "../runtime.h"

extern "C" BOOL WINAPI DllEntry(HINSTANCE /*module*/, DWORD reason, LPVOID /*reserved*/) {
  return shell::EntryPoint(reason);
}
