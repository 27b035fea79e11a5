/*
 * A small client: loads the library from the folder given on the command
 * line (where its TESSARON.INI lies), registers the files named after it,
 * shuts the library down and prints the cache's figures as the library
 * reports them.
 *
 *   example_client LIBRARY_FILE FILE...
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "stowmaster.h"

#ifdef _WIN32
#include <windows.h>
#define CALL __stdcall
typedef HMODULE Library;
static Library OpenLibrary(const char* path) { return LoadLibraryA(path); }
static void* Symbol(Library lib, const char* name) { return (void*)GetProcAddress(lib, name); }
static void CloseLibrary(Library lib) { FreeLibrary(lib); }
#else
#include <dlfcn.h>
#define CALL
typedef void* Library;
static Library OpenLibrary(const char* path) { return dlopen(path, RTLD_NOW); }
static void* Symbol(Library lib, const char* name) { return dlsym(lib, name); }
static void CloseLibrary(Library lib) { dlclose(lib); }
#endif

typedef int32_t(CALL* InitializeFn)(int32_t);
typedef void(CALL* UnInitializeFn)(void);
typedef int32_t(CALL* AddFileFn)(const char*, uint32_t);
typedef int32_t(CALL* GetStatusFn)(StowmasterStatus*);

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s LIBRARY_FILE FILE...\n", argv[0]);
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
  GetStatusFn get_status = (GetStatusFn)Symbol(lib, "StowmasterGetStatus");
  if (!initialize || !uninitialize || !add_file || !get_status) {
    fprintf(stderr, "the library lacks an entry point\n");
    return 1;
  }

  int ok = initialize(0);
  printf("InitializeStowmaster(0) = %d\n", ok);
  for (int i = 2; i < argc; ++i) {
    int32_t r = add_file(argv[i], 0);
    printf("AddFileToStowmasterA(%s) = %d\n", argv[i], r);
  }
  uninitialize();
  printf("UnInitializeStowmaster()\n");

  /* The figures of the cache, as the library reads them from its index. */
  StowmasterStatus status;
  memset(&status, 0, sizeof(status));
  status.size = sizeof(status);
  if (get_status(&status) != STOWMASTER_OK) {
    fprintf(stderr, "StowmasterGetStatus failed\n");
    CloseLibrary(lib);
    return 1;
  }
  printf("Index: %d of %d entries, %lld bytes in use\n", (int)status.entries, (int)status.capacity,
         (long long)status.bytes_in_use);
  CloseLibrary(lib);
  return ok ? 0 : 1;
}
