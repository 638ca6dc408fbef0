/* A C host that loads the library at run time, by path, and finds the nine
 * functions by name: LoadLibrary/GetProcAddress on Windows, dlopen/dlsym on
 * Linux. On Windows, build it with QUENTHALOY_CDECL to load QuenthaloyC.dll
 * and without to load Quenthaloy.dll: the function-pointer types carry the
 * convention. */
#define QUENTHALOY_RUNTIME_LOADING
#include <stdio.h>

#include "quenthaloy.h"

#if defined(_WIN32)
#include <windows.h>
#define OPEN_LIBRARY(path) ((void*)LoadLibraryA(path))
#define FIND(library, name) ((void*)GetProcAddress((HMODULE)(library), name))
#define CLOSE_LIBRARY(library) FreeLibrary((HMODULE)(library))
#else
#include <dlfcn.h>
#define OPEN_LIBRARY(path) dlopen(path, RTLD_NOW | RTLD_LOCAL)
#define FIND(library, name) dlsym(library, name)
#define CLOSE_LIBRARY(library) dlclose(library)
#endif

int main(int argc, char** argv) {
  QuenthaloySendThreadMessageFn send;
  QuenthaloyGetThreadMessageFn get;
  QuenthaloyAddThreadResourceFn add;
  QuenthaloyOpenThreadResourceWithinFn open_within;
  QuenthaloyCloseThreadResourceFn close_resource;
  QuenthaloyDeleteThreadResourceFn delete_resource;
  void* library;
  int32_t resource, first, second;
  if (argc < 2) {
    fprintf(stderr, "usage: %s LIBRARY (Quenthaloy.dll, QuenthaloyC.dll or libquenthaloy.so)\n", argv[0]);
    return 1;
  }
  library = OPEN_LIBRARY(argv[1]);
  if (library == NULL) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 1;
  }
  /* Casting through a generic function pointer type avoids the object-to-
   * function pointer conversion warning. */
  send = (QuenthaloySendThreadMessageFn)(void (*)(void))FIND(library, "SendThreadMessage");
  get = (QuenthaloyGetThreadMessageFn)(void (*)(void))FIND(library, "GetThreadMessage");
  add = (QuenthaloyAddThreadResourceFn)(void (*)(void))FIND(library, "AddThreadResource");
  open_within = (QuenthaloyOpenThreadResourceWithinFn)(void (*)(void))FIND(library, "OpenThreadResourceWithin");
  close_resource = (QuenthaloyCloseThreadResourceFn)(void (*)(void))FIND(library, "CloseThreadResource");
  delete_resource = (QuenthaloyDeleteThreadResourceFn)(void (*)(void))FIND(library, "DeleteThreadResource");
  if (!send || !get || !add || !open_within || !close_resource || !delete_resource) {
    fprintf(stderr, "an export is missing\n");
    return 1;
  }
  send(7, 70);
  send(8, 80);
  send(7, 71);
  first = get(7);
  second = get(7);
  resource = add();
  printf("runtime_loading: %s gave 7 -> %d then %d; 8 still holds %d; resource taken: %d\n", argv[1], first, second,
         get(8), open_within(resource, 0));
  close_resource(resource);
  delete_resource(resource);
  CLOSE_LIBRARY(library);
  return first == 70 && second == 71 ? 0 : 2;
}
