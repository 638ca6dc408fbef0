/* Reads a DLL's version resource back as a file-properties dialog or an
 * installer does (GetFileVersionInfoA, VerQueryValueA) and compares it with
 * the project's version and names.
 * usage: version_check DLL VERSION PRODUCT  (VERSION as major.minor.patch) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int failures;

static void Expect(int ok, const char* what) {
  if (ok) return;
  printf("version resource: %s\n", what);
  ++failures;
}

/* Two 16-bit parts of a version, high first, as the fixed information keeps them. */
static DWORD Pair(unsigned high, unsigned low) { return (DWORD)(high & 0xFFFF) << 16 | (low & 0xFFFF); }

/* The value of a StringFileInfo entry in the resource's first translation. */
static const char* StringValue(void* info, const char* name) {
  struct Translation {
    WORD language, code_page;
  } * translation;
  UINT size = 0;
  char path[128];
  char* value = NULL;
  if (!VerQueryValueA(info, "\\VarFileInfo\\Translation", (void**)&translation, &size) || size < sizeof *translation)
    return "";
  snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation->language, translation->code_page, name);
  if (!VerQueryValueA(info, path, (void**)&value, &size) || size == 0) return "";
  return value;
}

int main(int argc, char** argv) {
  unsigned major, minor, patch;
  VS_FIXEDFILEINFO* fixed;
  UINT fixed_size = 0;
  DWORD size;
  void* info;
  if (argc != 4 || sscanf(argv[2], "%u.%u.%u", &major, &minor, &patch) != 3) {
    printf("usage: version_check DLL VERSION PRODUCT\n");
    return 2;
  }
  size = GetFileVersionInfoSizeA(argv[1], NULL);
  if (size == 0) {
    printf("%s: no version resource (error %lu)\n", argv[1], (unsigned long)GetLastError());
    return 1;
  }
  info = malloc(size);
  if (info == NULL || !GetFileVersionInfoA(argv[1], 0, size, info)) {
    printf("%s: version resource unreadable\n", argv[1]);
    return 1;
  }
  Expect(VerQueryValueA(info, "\\", (void**)&fixed, &fixed_size) && fixed_size >= sizeof *fixed &&
             fixed->dwSignature == 0xFEEF04BD,
         "no fixed file information");
  if (failures == 0) {
    Expect(fixed->dwFileVersionMS == Pair(major, minor) && fixed->dwFileVersionLS == Pair(patch, 0),
           "binary FILEVERSION differs from VERSION");
    Expect(fixed->dwProductVersionMS == Pair(major, minor) && fixed->dwProductVersionLS == Pair(patch, 0),
           "binary PRODUCTVERSION differs from VERSION");
    Expect(fixed->dwFileType == VFT_DLL, "file type is not VFT_DLL");
  }
  Expect(strcmp(StringValue(info, "FileVersion"), argv[2]) == 0, "FileVersion differs from VERSION");
  Expect(strcmp(StringValue(info, "ProductVersion"), argv[2]) == 0, "ProductVersion differs from VERSION");
  Expect(strcmp(StringValue(info, "ProductName"), argv[3]) == 0, "ProductName differs from PRODUCT");
  Expect(_stricmp(StringValue(info, "OriginalFilename"), argv[1]) == 0, "OriginalFilename differs from DLL");
  Expect(StringValue(info, "FileDescription")[0] != '\0', "no FileDescription");
  Expect(strstr(StringValue(info, "LegalCopyright"), "MIT License") != NULL, "LegalCopyright names no MIT License");
  printf("%s: version %s, %s \"%s\"\n", argv[1], StringValue(info, "FileVersion"), StringValue(info, "ProductName"),
         StringValue(info, "FileDescription"));
  free(info);
  return failures == 0 ? 0 : 1;
}
