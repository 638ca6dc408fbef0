/* A host built with Microsoft's conventions (clang for i686-pc-windows-msvc,
 * linked by lld-link against Quenthaloy.lib or QuenthaloyC.lib) and no C
 * runtime or Windows headers: it includes the public header, declares the
 * one KERNEL32 function it needs, and its entry point calls the exports and
 * hands the outcome to ExitProcess. Under the stdcall build its references are decorated
 * (__imp__SendThreadMessage@8); the import library must bind them to the
 * DLL's undecorated names, or the loader refuses the program. */
#include "quenthaloy.h"

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

enum { kRecipient = 16, kValue = 0x5eed };

static int Check(void) {
  int32_t resource;
  if (SendThreadMessage(kRecipient, kValue) != 0) return 10;
  if (GetThreadMessage(kRecipient) != kValue) return 11;
  if (GetThreadMessage(kRecipient) != 0) return 12;
  resource = AddThreadResource();
  if (resource == 0) return 20;
  if (OpenThreadResourceWithin(resource, 0) != 1) return 21;
  if (CloseThreadResource(resource) == 0) return 22;
  if (DeleteThreadResource(resource) == 0) return 23;
  return 0;
}

void __cdecl HostEntry(void) { ExitProcess((unsigned int)Check()); }
