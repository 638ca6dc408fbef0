// The built library, loaded at run time as a host would load it, with its
// nine exports callable whatever the build's calling convention.
#ifndef QUENTHALOY_TESTS_LIBRARY_H
#define QUENTHALOY_TESTS_LIBRARY_H

#include <stdint.h>

#include <string>

namespace library {

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

// Loads the library at `path` (a stdcall build unless its name ends in
// "C.dll"); false if it or any export is missing.
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
