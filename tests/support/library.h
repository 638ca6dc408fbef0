// The built library, loaded at run time as a host would load it, with its
// nine exports callable whatever the build's calling convention.
#ifndef QUENTHALOY_TESTS_LIBRARY_H
#define QUENTHALOY_TESTS_LIBRARY_H

#include <stdint.h>

#include <string>

namespace library {

// The nine exports in ordinal order, each with its number of 32-bit
// arguments (the exports.list test keeps this and Api in step with
// cmake/exports.cmake).
struct Export {
  const char* name;
  int32_t arguments;
};
constexpr int kExportCount = 9;
extern const Export kExports[kExportCount];

// The lock every process of the user that loads either DLL shares for its
// queue operations (Windows; the Linux library's lock has no name).
constexpr char kQueueLockName[] = "JQ_Quenthaloy_ThreadMessage";

// Whether the DLL at `path` is the cdecl build: its name ends in "C.dll".
bool IsCdeclPath(const std::string& path);
// The other build's DLL beside `path` (Quenthaloy.dll for QuenthaloyC.dll
// and back); `path` itself if it names no DLL.
std::string OtherBuildPath(const std::string& path);

struct Api {
  int32_t (*AddThreadResource)();
  int32_t (*CloseThreadResource)(int32_t);
  int32_t (*DeleteThreadResource)(int32_t);
  int32_t (*GetThreadMessage)(int32_t);
  int32_t (*OpenThreadResource)(int32_t);
  int32_t (*OpenThreadResourceWithin)(int32_t, int32_t);
  int32_t (*SendThreadMessage)(int32_t, int32_t);
  int32_t (*SendThreadMessageAndWait)(int32_t, int32_t);
  int32_t (*WaitThreadMessage)(int32_t);
};

// Loads the library at `path` (on Windows a stdcall build unless
// IsCdeclPath); false if it or any export is missing.
bool Load(const std::string& path);
void Unload();
const Api& api();
// The raw address of an export, for checks of the convention itself.
void* RawExport(const char* name);
bool IsCdecl();
// Calls the library's entry point with a loader reason; Windows only.
int CallEntryPoint(uint32_t reason);

}  // namespace library

#endif
