/*
 * Stowmaster: keeps the files that client programs cache on local disk
 * within a configured total size.
 *
 * Call InitializeStowmaster once before anything else (StowmasterVersion
 * excepted) and UnInitializeStowmaster once for every InitializeStowmaster,
 * whatever it returned. Register each
 * cached file with AddFileToStowmasterA (narrow path) or AddFileToStowmasterW
 * (UTF-16 path). The least recently registered files are deleted once the
 * cache passes its high-water mark.
 *
 * Settings come from TESSARON.INI beside the library file. Every function
 * may be called from any thread; none of them throws or crashes the caller.
 */
#ifndef STOWMASTER_H_
#define STOWMASTER_H_

#include <stddef.h>
#include <stdint.h>

#include "stowmaster_version.h"

#ifdef _WIN32
#define STOWMASTER_CALL __stdcall
#ifdef STOWMASTER_BUILDING
#define STOWMASTER_API __declspec(dllexport)
#else
#define STOWMASTER_API __declspec(dllimport)
#endif
typedef wchar_t stowmaster_wchar; /* UTF-16 on Windows */
#else
#define STOWMASTER_CALL
#define STOWMASTER_API __attribute__((visibility("default")))
#ifdef __cplusplus
typedef char16_t stowmaster_wchar;
#else
typedef uint16_t stowmaster_wchar; /* UTF-16 code unit */
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the version of the loaded library as "MAJOR.MINOR.PATCH", the
 * STOWMASTER_VERSION_STRING it was built with. The string is static: never
 * free it; it stays valid while the library is loaded. May be called at any
 * time, before InitializeStowmaster too, from any thread. A program built
 * against these headers can compare it with STOWMASTER_VERSION_STRING to
 * tell which library it actually loaded. */
STOWMASTER_API const char* STOWMASTER_CALL StowmasterVersion(void);

/* Returns 1 when the library is ready, 0 when initialisation failed (see the
 * log). threaded != 0 starts a background thread that evicts every 30 s;
 * otherwise eviction runs after each registration. */
STOWMASTER_API int32_t STOWMASTER_CALL InitializeStowmaster(int32_t threaded);

/* Shuts the library down when every initialisation has been matched: stops
 * the background thread (after its last pass), flushes the index, writes
 * Index.Dmp and closes the index. */
STOWMASTER_API void STOWMASTER_CALL UnInitializeStowmaster(void);

/* Registers (or refreshes) a cached file. `delay` is the file's own minimum
 * age in seconds before it may be evicted. Returns 1 when registered or
 * refreshed, 0 when not (missing file, full index, not initialised). */
STOWMASTER_API int32_t STOWMASTER_CALL AddFileToStowmasterA(const char* path, uint32_t delay);
STOWMASTER_API int32_t STOWMASTER_CALL AddFileToStowmasterW(const stowmaster_wchar* path,
                                                            uint32_t delay);

/* Deletes every registered file that can be deleted, whatever its size, age
 * and delay. Does nothing before initialisation. */
STOWMASTER_API void STOWMASTER_CALL DeleteAllFileInCache(void);

/* Empties the cache of this library's settings file from a command-line host
 * (rundll32 on Windows, the stowmaster program elsewhere). The arguments are
 * ignored. */
STOWMASTER_API void STOWMASTER_CALL EmptyCache(void* window, void* instance,
                                               const char* command_line, int32_t show);

#ifdef __cplusplus
}
#endif

#endif /* STOWMASTER_H_ */
