// A small host: loads the library from the path it is given, has two threads
// exchange messages, and says what happened.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void* module_handle = nullptr;
bool cdecl_build = true;

void* Export(const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module_handle), name));
#else
  return dlsym(module_handle, name);
#endif
}

int32_t Call0(const char* name) {
#if defined(_WIN32)
  if (!cdecl_build) return reinterpret_cast<int32_t(__stdcall*)()>(Export(name))();
#endif
  return reinterpret_cast<int32_t (*)()>(Export(name))();
}

int32_t Call1(const char* name, int32_t a) {
#if defined(_WIN32)
  if (!cdecl_build) return reinterpret_cast<int32_t(__stdcall*)(int32_t)>(Export(name))(a);
#endif
  return reinterpret_cast<int32_t (*)(int32_t)>(Export(name))(a);
}

int32_t Call2(const char* name, int32_t a, int32_t b) {
#if defined(_WIN32)
  if (!cdecl_build) return reinterpret_cast<int32_t(__stdcall*)(int32_t, int32_t)>(Export(name))(a, b);
#endif
  return reinterpret_cast<int32_t (*)(int32_t, int32_t)>(Export(name))(a, b);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: demo_host <library>\n");
    return 2;
  }
  const char* path = argv[1];
#if defined(_WIN32)
  size_t length = strlen(path);
  cdecl_build = length >= 5 && strcmp(path + length - 5, "C.dll") == 0;
  module_handle = LoadLibraryA(path);
#else
  module_handle = dlopen(path, RTLD_NOW);
#endif
  if (module_handle == nullptr || Export("WaitThreadMessage") == nullptr) {
    fprintf(stderr, "cannot load %s\n", path);
    return 1;
  }
  // A 64-bit process has one calling convention: both DLLs use it.
  const bool one_convention = sizeof(void*) == 8;
  printf("== %s (%d-bit process, %s)\n", path, static_cast<int>(8 * sizeof(void*)),
         one_convention ? "the one calling convention" : (cdecl_build ? "cdecl exports" : "stdcall exports"));
  Call2("SendThreadMessage", 5, 10);
  Call2("SendThreadMessage", 6, 99);
  Call2("SendThreadMessage", 5, 20);
  int32_t first_taken = Call1("GetThreadMessage", 5);
  int32_t second_taken = Call1("GetThreadMessage", 5);
  int32_t none_left = Call1("GetThreadMessage", 5);
  printf("posted (5,10) (6,99) (5,20); recipient 5 takes %d then %d, then %d (none left)\n", first_taken, second_taken,
         none_left);
  printf("recipient 6 takes %d\n", Call1("GetThreadMessage", 6));

  // The road of one message: B sleeps waiting for recipient 7, A sends 42 and
  // waits until it is taken.
  int32_t received = 0;
  std::thread b([&] { received = Call1("WaitThreadMessage", 7); });
  printf("thread B waits for a message for recipient 7\n");
  int32_t sent = Call2("SendThreadMessageAndWait", 7, 42);
  b.join();
  printf("thread A sent 42 to 7 and waited: returned %d once B had taken it; B got %d\n", sent, received);

  int32_t resource = Call0("AddThreadResource");
  int32_t taken = Call1("OpenThreadResource", resource);
  int32_t again = Call2("OpenThreadResourceWithin", resource, 0);
  int32_t first = Call1("CloseThreadResource", resource);
  int32_t second = Call1("CloseThreadResource", resource);
  int32_t third = Call1("CloseThreadResource", resource);
  int32_t deleted = Call1("DeleteThreadResource", resource);
  printf("resource %d: taken %d, taken again %d, given back %d, %d, a third time %d, deleted %d\n", resource, taken,
         again, first != 0, second != 0, third != 0, deleted != 0);
  bool ok = first_taken == 10 && second_taken == 20 && none_left == 0 && received == 42 && sent == 0 && taken == 1 &&
            again == 1 && third == 0 && deleted != 0;
  printf("%s\n", ok ? "all as expected" : "UNEXPECTED RESULTS");
  return ok ? 0 : 1;
}
