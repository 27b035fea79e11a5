/*
 * Prints the version resource of a Windows file as its properties show it:
 * the fixed file version and the version strings.
 *
 *   version_resource FILE
 *
 * Exit status: 0 when the file has a version resource, 1 when not.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
  if (size == 0) {
    fprintf(stderr, "%s has no version resource (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  void* data = malloc(size);
  if (data == NULL || !GetFileVersionInfoA(argv[1], 0, size, data)) {
    fprintf(stderr, "cannot read the version resource of %s\n", argv[1]);
    return 1;
  }
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  if (!VerQueryValueA(data, "\\", (void**)&fixed, &length) || length < sizeof(*fixed)) {
    fprintf(stderr, "%s has no fixed file version\n", argv[1]);
    return 1;
  }
  printf("FixedFileVersion=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
         (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
         (unsigned)LOWORD(fixed->dwFileVersionLS));
  static const char* const kNames[] = {"FileVersion", "ProductVersion", "OriginalFilename",
                                       "ProductName"};
  for (size_t i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
    char query[80];
    snprintf(query, sizeof(query), "\\StringFileInfo\\040904B0\\%s", kNames[i]);
    char* value = NULL;
    if (VerQueryValueA(data, query, (void**)&value, &length) && value != NULL) {
      printf("%s=%s\n", kNames[i], value);
    }
  }
  free(data);
  return 0;
}
