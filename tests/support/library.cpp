#include "library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace library {

const Export kExports[kExportCount] = {
    {"AddThreadResource", 0}, {"CloseThreadResource", 1},      {"DeleteThreadResource", 1},
    {"GetThreadMessage", 1},  {"OpenThreadResource", 1},       {"OpenThreadResourceWithin", 2},
    {"SendThreadMessage", 2}, {"SendThreadMessageAndWait", 2}, {"WaitThreadMessage", 1}};

namespace {

const std::string kCdeclSuffix = "C.dll";

Api loaded;
void* module_handle = nullptr;
bool cdecl_build = true;

// The exports' addresses, in the order of kExports.
struct Raw {
  void* add;
  void* close;
  void* del;
  void* get;
  void* open;
  void* open_within;
  void* send;
  void* send_wait;
  void* wait;
} raw;
static_assert(sizeof(Raw) == kExportCount * sizeof(void*), "one address per export");

#if defined(_WIN32)
#define THUNKS(CONV, suffix)                                                                                     \
  int32_t Add_##suffix() { return reinterpret_cast<int32_t(CONV*)()>(raw.add)(); }                               \
  int32_t Close_##suffix(int32_t a) { return reinterpret_cast<int32_t(CONV*)(int32_t)>(raw.close)(a); }          \
  int32_t Delete_##suffix(int32_t a) { return reinterpret_cast<int32_t(CONV*)(int32_t)>(raw.del)(a); }           \
  int32_t Get_##suffix(int32_t a) { return reinterpret_cast<int32_t(CONV*)(int32_t)>(raw.get)(a); }              \
  int32_t Open_##suffix(int32_t a) { return reinterpret_cast<int32_t(CONV*)(int32_t)>(raw.open)(a); }            \
  int32_t OpenWithin_##suffix(int32_t a, int32_t b) {                                                            \
    return reinterpret_cast<int32_t(CONV*)(int32_t, int32_t)>(raw.open_within)(a, b);                            \
  }                                                                                                              \
  int32_t Send_##suffix(int32_t a, int32_t b) {                                                                  \
    return reinterpret_cast<int32_t(CONV*)(int32_t, int32_t)>(raw.send)(a, b);                                   \
  }                                                                                                              \
  int32_t SendWait_##suffix(int32_t a, int32_t b) {                                                              \
    return reinterpret_cast<int32_t(CONV*)(int32_t, int32_t)>(raw.send_wait)(a, b);                              \
  }                                                                                                              \
  int32_t Wait_##suffix(int32_t a) { return reinterpret_cast<int32_t(CONV*)(int32_t)>(raw.wait)(a); }            \
  const Api api_##suffix = {Add_##suffix,        Close_##suffix, Delete_##suffix,   Get_##suffix, Open_##suffix, \
                            OpenWithin_##suffix, Send_##suffix,  SendWait_##suffix, Wait_##suffix};
THUNKS(__stdcall, stdcall)
THUNKS(__cdecl, cdecl)

void* Symbol(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module_handle), name));
}
#else
void* Symbol(const char* name) { return dlsym(module_handle, name); }
#endif

}  // namespace

bool IsCdeclPath(const std::string& path) {
  return path.size() >= kCdeclSuffix.size() &&
         path.compare(path.size() - kCdeclSuffix.size(), kCdeclSuffix.size(), kCdeclSuffix) == 0;
}

std::string OtherBuildPath(const std::string& path) {
  if (path.size() < kCdeclSuffix.size() || path.find(".dll") == std::string::npos) return path;
  if (IsCdeclPath(path)) return path.substr(0, path.size() - kCdeclSuffix.size()) + ".dll";
  return path.substr(0, path.size() - 4) + kCdeclSuffix;
}

bool Load(const std::string& path) {
#if defined(_WIN32)
  cdecl_build = IsCdeclPath(path);
  module_handle = LoadLibraryA(path.c_str());
#else
  module_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
  if (module_handle == nullptr) return false;
  void** all = reinterpret_cast<void**>(&raw);
  for (int i = 0; i < kExportCount; ++i) {
    all[i] = Symbol(kExports[i].name);
    if (all[i] == nullptr) return false;
  }
#if defined(_WIN32)
  loaded = cdecl_build ? api_cdecl : api_stdcall;
#else
  loaded = {reinterpret_cast<int32_t (*)()>(raw.add),
            reinterpret_cast<int32_t (*)(int32_t)>(raw.close),
            reinterpret_cast<int32_t (*)(int32_t)>(raw.del),
            reinterpret_cast<int32_t (*)(int32_t)>(raw.get),
            reinterpret_cast<int32_t (*)(int32_t)>(raw.open),
            reinterpret_cast<int32_t (*)(int32_t, int32_t)>(raw.open_within),
            reinterpret_cast<int32_t (*)(int32_t, int32_t)>(raw.send),
            reinterpret_cast<int32_t (*)(int32_t, int32_t)>(raw.send_wait),
            reinterpret_cast<int32_t (*)(int32_t)>(raw.wait)};
#endif
  return true;
}

void Unload() {
  if (module_handle == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(module_handle));
#else
  dlclose(module_handle);
#endif
  module_handle = nullptr;
}

const Api& api() { return loaded; }

void* RawExport(const char* name) { return Symbol(name); }

bool IsCdecl() { return cdecl_build; }

int CallEntryPoint(uint32_t reason) {
#if defined(_WIN32)
  auto* base = static_cast<unsigned char*>(module_handle);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  auto entry = reinterpret_cast<BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID)>(base + nt->OptionalHeader.AddressOfEntryPoint);
  return entry(static_cast<HINSTANCE>(module_handle), reason, nullptr);
#else
  (void)reason;
  return -1;
#endif
}

}  // namespace library
