/*
 * A program built against an installed Stowmaster the way any C program is:
 * the installed header and library, found with CMake's find_package or with
 * pkg-config. It creates the file it is given, registers it, and checks
 * that the library it loaded is the version of the header it was built
 * with.
 *
 *   consumer FILE
 *
 * Exit status: 0 when every step worked, 1 when one failed, 2 bad usage.
 */
#include <stdio.h>
#include <string.h>

#include "stowmaster.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const char* file = argv[1];
  int failures = 0;

  /* The version macros must agree with each other and with the library. */
  char composed[40];
  snprintf(composed, sizeof(composed), "%d.%d.%d", STOWMASTER_VERSION_MAJOR,
           STOWMASTER_VERSION_MINOR, STOWMASTER_VERSION_PATCH);
  const char* library = StowmasterVersion();
  /* The library prints its log file's path without a line end whenever it
   * logs: each line here starts afresh. */
  printf("\nheaders %s (%s) library %s\n", STOWMASTER_VERSION_STRING, composed,
         library ? library : "(none)");
  if (strcmp(composed, STOWMASTER_VERSION_STRING) != 0) {
    fprintf(stderr, "the version macros disagree\n");
    ++failures;
  }
  if (library == NULL || strcmp(library, STOWMASTER_VERSION_STRING) != 0) {
    fprintf(stderr, "the library is not the version of the header\n");
    ++failures;
  }

  FILE* out = fopen(file, "wb");
  if (out == NULL) {
    fprintf(stderr, "cannot create %s\n", file);
    return 1;
  }
  static const char kContent[] = "a cached file\n";
  for (int i = 0; i < 256; ++i) fputs(kContent, out);
  if (fclose(out) != 0) {
    fprintf(stderr, "cannot write %s\n", file);
    return 1;
  }

  int32_t ready = InitializeStowmaster(0);
  printf("\nInitializeStowmaster(0) = %d\n", (int)ready);
  if (ready != 1) {
    ++failures;
  } else {
    int32_t added = AddFileToStowmasterA(file, 0);
    printf("\nAddFileToStowmasterA(%s) = %d\n", file, (int)added);
    if (added != 1) ++failures;
  }
  /* Once for every InitializeStowmaster, whatever it returned. */
  UnInitializeStowmaster();
  printf("\n%s\n", failures == 0 ? "consumer: ok" : "consumer: FAILED");
  return failures == 0 ? 0 : 1;
}
