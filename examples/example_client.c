/*
 * A small client: loads the library from the folder given on the command
 * line (where its TESSARON.INI lies), registers the files named after it,
 * shuts the library down and prints the index totals from the index header.
 *
 *   example_client LIBRARY_FILE CACHE_DIR FILE...
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#define CALL __stdcall
typedef HMODULE Library;
static Library OpenLibrary(const char* path) { return LoadLibraryA(path); }
static void* Symbol(Library lib, const char* name) { return (void*)GetProcAddress(lib, name); }
static void CloseLibrary(Library lib) { FreeLibrary(lib); }
static const char kSeparator = '\\';
#else
#include <dlfcn.h>
#define CALL
typedef void* Library;
static Library OpenLibrary(const char* path) { return dlopen(path, RTLD_NOW); }
static void* Symbol(Library lib, const char* name) { return dlsym(lib, name); }
static void CloseLibrary(Library lib) { dlclose(lib); }
static const char kSeparator = '/';
#endif

typedef int32_t(CALL* InitializeFn)(int32_t);
typedef void(CALL* UnInitializeFn)(void);
typedef int32_t(CALL* AddFileFn)(const char*, uint32_t);

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s LIBRARY_FILE CACHE_DIR FILE...\n", argv[0]);
    return 2;
  }
  Library lib = OpenLibrary(argv[1]);
  if (!lib) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 1;
  }
  InitializeFn initialize = (InitializeFn)Symbol(lib, "InitializeStowmaster");
  UnInitializeFn uninitialize = (UnInitializeFn)Symbol(lib, "UnInitializeStowmaster");
  AddFileFn add_file = (AddFileFn)Symbol(lib, "AddFileToStowmasterA");
  if (!initialize || !uninitialize || !add_file) {
    fprintf(stderr, "the library lacks an entry point\n");
    return 1;
  }

  /* The library prints the log file's path on standard output for every
   * line it logs; each of our own lines starts afresh. */
  int ok = initialize(0);
  printf("\nInitializeStowmaster(0) = %d\n", ok);
  for (int i = 3; i < argc; ++i) {
    int32_t r = add_file(argv[i], 0);
    printf("\nAddFileToStowmasterA(%s) = %d\n", argv[i], r);
  }
  uninitialize();
  printf("\nUnInitializeStowmaster()\n");
  CloseLibrary(lib);

  /* The totals, straight from the index header. */
  char path[600];
  snprintf(path, sizeof(path), "%s%cIndex.Dat", argv[2], kSeparator);
  FILE* f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "cannot open %s\n", path);
    return 1;
  }
  unsigned char header[548];
  size_t n = fread(header, 1, sizeof(header), f);
  fclose(f);
  if (n != sizeof(header)) {
    fprintf(stderr, "short index file\n");
    return 1;
  }
  int64_t bytes = 0;
  int32_t count = 0;
  memcpy(&bytes, header + 512, sizeof(bytes));
  memcpy(&count, header + 520, sizeof(count));
  printf("Index %s: %d files, %lld bytes in use\n", path, (int)count, (long long)bytes);
  return ok ? 0 : 1;
}
