// The library's own handles, for every copy in the process.
#include "layer.h"

namespace platform::win32_impl {
namespace {

// No handle a process is given is negative, yet the kernel's wait and close
// make something of some negative values: -1 to -6 are the current process,
// the current thread and the token pseudo-handles, and -10 to -12 become the
// process's standard input, output and error. Wine reads 0x7FFFFFFF as the
// current process too. Never a resource, any of them.
constexpr intptr_t kHighestResource = 0x7FFFFFFE;
// The kernel ignores a handle's two low bits: 4n to 4n+3 are one handle, and
// 1 to 3 are the null handle.
constexpr intptr_t kTagBits = 3;

// The value of one of the library's own handles in the registry below;
// Windows keeps every handle's significant bits within the low 32.
uint32_t OwnValueOf(HANDLE handle) { return HandleToULong(handle); }

// The resource calls must refuse the queue lock, every parker event and
// every thread handle the library keeps, of this copy and of any other copy
// of the library loaded in the process (the other DLL build, or the same one
// from another folder): a host reaches all of them through either copy. So
// the set is one bitmap per process, a section named after the process (its
// id and start time, so that no earlier process of the same id is met), that
// every copy maps and marks its own handles in. A bit per handle index (the
// value without its tag bits); Windows gives a process at most 2^24 handles,
// so 2 MiB cover every value it hands out, and only the pages touched take
// memory. The bits are single atomic words: no lock guards them, and a
// check takes none. A value is marked only while one copy holds it open, so
// copies never mark or clear the same bit at once.
constexpr uint32_t kHandleIndices = 1u << 24;
constexpr uint32_t kBitsPerWord = 32;
constexpr DWORD kRegistryBytes = kHandleIndices / 8;

uint32_t* own_handles = nullptr;  // the mapped bitmap, or null
HANDLE own_handles_section = nullptr;
bool own_handles_mapped = false;  // a view of the section, else private memory

bool IsOwnHandle(uint32_t handle) {
  const uint32_t index = handle >> 2;
  if (own_handles == nullptr || index >= kHandleIndices) return false;
  return (__atomic_load_n(&own_handles[index / kBitsPerWord], __ATOMIC_ACQUIRE) & (1u << (index % kBitsPerWord))) != 0;
}

}  // namespace

bool AddOwnHandle(HANDLE handle) {
  const uint32_t index = OwnValueOf(handle) >> 2;
  if (own_handles == nullptr || index >= kHandleIndices) return false;
  __atomic_fetch_or(&own_handles[index / kBitsPerWord], 1u << (index % kBitsPerWord), __ATOMIC_RELEASE);
  return true;
}

void DropOwnHandle(HANDLE handle) {
  const uint32_t index = OwnValueOf(handle) >> 2;
  if (own_handles == nullptr || index >= kHandleIndices) return;
  __atomic_fetch_and(&own_handles[index / kBitsPerWord], ~(1u << (index % kBitsPerWord)), __ATOMIC_RELEASE);
}

void CloseOwnHandle(HANDLE handle) {
  if (handle == nullptr) return;
  DropOwnHandle(handle);
  ::CloseHandle(handle);
}

namespace {

// "JQ_Quenthaloy_OwnHandles_<process id>_<start time>", in hex.
void RegistryName(char* name) {
  static const char kPrefix[] = "JQ_Quenthaloy_OwnHandles_";
  static const char kDigits[] = "0123456789abcdef";
  FILETIME created = {}, exited = {}, kernel = {}, user = {};
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  const DWORD parts[] = {::GetCurrentProcessId(), created.dwHighDateTime, created.dwLowDateTime};
  char* out = name;
  for (const char* in = kPrefix; *in != 0; ++in) *out++ = *in;
  for (int part = 0; part < 3; ++part) {
    if (part > 0) *out++ = '_';
    for (int shift = 28; shift >= 0; shift -= 4) *out++ = kDigits[(parts[part] >> shift) & 0xF];
  }
  *out = 0;
}

// The process's registry, made by the first copy that loads and opened by
// the others. If the name cannot be had (taken by an object of another
// kind, or a section too small), this copy keeps a registry of its own and
// refuses its own objects only, as before there was a shared one.
}  // namespace

void OpenOwnHandles() {
  char name[64];
  RegistryName(name);
  HANDLE section = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRegistryBytes, name);
  void* view = section != nullptr ? ::MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, kRegistryBytes) : nullptr;
  if (view != nullptr) {
    own_handles = static_cast<uint32_t*>(view);
    own_handles_mapped = true;
    if (AddOwnHandle(section)) {
      own_handles_section = section;
      return;
    }
    ::UnmapViewOfFile(view);
  }
  if (section != nullptr) ::CloseHandle(section);
  own_handles_mapped = false;
  own_handles =
      static_cast<uint32_t*>(::VirtualAlloc(nullptr, kRegistryBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void CloseOwnHandles() {
  if (own_handles_section != nullptr) DropOwnHandle(own_handles_section);
  if (own_handles_mapped) {
    ::UnmapViewOfFile(own_handles);
  } else if (own_handles != nullptr) {
    ::VirtualFree(own_handles, 0, MEM_RELEASE);
  }
  if (own_handles_section != nullptr) ::CloseHandle(own_handles_section);
  own_handles = nullptr;
  own_handles_section = nullptr;
  own_handles_mapped = false;
}

bool IsRefused(Handle handle) {
  const auto value = static_cast<intptr_t>(handle);
  return value <= kTagBits || value > kHighestResource || IsOwnHandle(static_cast<uint32_t>(value));
}

}  // namespace platform::win32_impl
