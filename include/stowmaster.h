/*
 * Stowmaster: keeps the files that client programs cache on local disk
 * within a configured total size.
 *
 * Call InitializeStowmaster once before anything else (StowmasterVersion
 * and the Stowmaster... functions for watching a cache excepted) and
 * UnInitializeStowmaster once for every InitializeStowmaster, whatever it
 * returned. Register each
 * cached file with AddFileToStowmasterA (narrow path) or AddFileToStowmasterW
 * (UTF-16 path). The least recently registered files are deleted once the
 * cache passes its high-water mark.
 *
 * Settings come from TESSARON.INI beside the library file (see
 * StowmasterUseSettingsFile for naming another). Every function
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

/* ------------------------------------------------------------------------
 * Watching and operating a cache.
 *
 * These functions work on the cache named by the library's settings file,
 * whether or not InitializeStowmaster was called, and may be called from
 * any thread. Each takes the index lock that every process shares, like any
 * other operation, and never holds it while the caller's code runs: entries
 * are copied out in batches, and progress is reported between batches.
 * Status, the list, the check and the dump only read the index: they create,
 * format and repair nothing (a missing index stays missing). Only the check
 * with repair, the pass and emptying change it.
 *
 * Every struct starts with its own size in bytes: set it to sizeof the
 * struct before the call. A library that knows a longer struct fills only
 * the first `size` bytes; one that knows a shorter struct leaves the rest
 * as it was. On return `size` holds the number of bytes filled. Structs
 * handed to callbacks carry the library's own size: read only the fields
 * that it covers.
 *
 * Each returns one of the STOWMASTER_* codes below. After a failure,
 * StowmasterLastError gives the reason in words; the library's log has the
 * same with its time.
 * ------------------------------------------------------------------------ */

#define STOWMASTER_OK 0
#define STOWMASTER_UNUSABLE 1     /* the settings, the cache folder or the index cannot be used */
#define STOWMASTER_BAD_ARGUMENT 2 /* a null pointer, or a struct size too small */
#define STOWMASTER_INCOMPLETE 3   /* done, but some entries could not be deleted */
#define STOWMASTER_DAMAGED 4      /* the check found the index damaged */
#define STOWMASTER_TOO_SMALL 5    /* the caller's buffer is too small; see the length */
#define STOWMASTER_CHANGED 6      /* the index changed between two batches of a walk */
#define STOWMASTER_FILES_DIFFER 7 /* the check of the files found entries the disk does not bear out */

/* The settings in effect, read afresh from the settings file. */
typedef struct StowmasterSettings {
  uint32_t size;
  int32_t settings_found;   /* 1: the settings file exists; 0: the defaults apply */
  char settings_file[1024]; /* the settings file looked for (empty: the library's own
                               location is unknown) */
  char cache_dir[260];      /* "CacheDir" */
  char index_path[260];     /* the index file in it */
  char log_file[1024];      /* today's log file */
  int32_t log_writable;     /* 1: the log file can be appended to */
  int32_t precision;        /* percent */
  int64_t limit_bytes;      /* "CacheSize" */
  int64_t high_mark_bytes;  /* a pass starts above this */
  int64_t low_mark_bytes;   /* and deletes until the bytes in use are below this */
  int64_t min_age_seconds;  /* "Delay": no file younger is deleted by a pass */
} StowmasterSettings;

/* The index as it is now. */
typedef struct StowmasterStatus {
  uint32_t size;
  int32_t index_present;       /* 0: no index file yet (made at the first InitializeStowmaster) */
  int32_t index_formatted;     /* 1: full size and marked as an index */
  int32_t lists_consistent;    /* 1: both lists and the totals agree */
  int32_t entries;             /* files listed */
  int32_t capacity;            /* entries the index can hold: 100000 */
  int64_t bytes_in_use;        /* the index's total of their sizes */
  int64_t oldest_registration; /* seconds since 1970 UTC; 0 when nothing is listed */
  int64_t newest_registration;
  int32_t evictable_files; /* what a pass run now would delete, if every deletion */
  int32_t reserved;        /* succeeded: nothing below the high mark */
  int64_t evictable_bytes;
  int64_t now; /* when the figures were taken, seconds since 1970 UTC */
  /* What goes next: the least recently registered file that is old enough
   * for a pass, the first one a pass deletes once the cache is above its
   * high mark; "" when no file is old enough. */
  char next_path[260];
  int32_t reserved2;
  int64_t next_registered; /* its registration, seconds since 1970 UTC */
  /* Entries whose deletion a pass was refused (in use, no permission,
   * outside the folders of a privileged process) and that passes of the
   * same rights do not try again yet: they stay listed and counted. The
   * next-to-go and evictable figures above leave out those refused to this
   * process. */
  int32_t refused_files;
  int32_t reserved3;
  int64_t refused_bytes;
  /* The settings the figures above were judged by, as StowmasterGetSettings
   * gives them: a caller needs no second call to set the bytes in use
   * against the limit and the marks. */
  int64_t limit_bytes;
  int64_t high_mark_bytes;
  int64_t low_mark_bytes;
  /* 1: the machine restarted and the index was not yet made to agree with
   * the disk (the first pass after the start does it: entries of missing
   * files dropped, sizes corrected, unlisted files older than the start
   * adopted); 0: it agrees since the start, or the start is not known. */
  int32_t reconciliation_pending;
  int32_t reserved4;
} StowmasterStatus;

/* One listed file. */
typedef struct StowmasterEntry {
  uint32_t size;
  int32_t block;      /* its block number in the index */
  char path[260];     /* as registered */
  int64_t file_size;  /* bytes, when registered */
  int64_t registered; /* last registration, seconds since 1970 UTC */
  int64_t delay;      /* its own minimum age, seconds */
  int32_t evictable;  /* 1: old enough for a pass to delete it now */
  int32_t reserved;
} StowmasterEntry;

/* What a check saw. */
typedef struct StowmasterCheckReport {
  uint32_t size;
  int32_t index_present;   /* 0: no index file yet (nothing to check: sound) */
  int32_t index_formatted; /* 0: too short or not marked; formatted anew at next use */
  int32_t lists_consistent;
  int32_t interrupted;  /* a holder of the lock died while it changed the index */
  int32_t repaired;     /* 1: the repair rebuilt (or formatted) the index */
  int32_t valid_count;  /* blocks on the valid list, as far as it could be followed */
  int32_t free_count;   /* blocks on the free list */
  int64_t valid_bytes;  /* their sizes */
  int64_t header_bytes; /* what the header says is in use */
  int32_t header_count; /* what the header says is listed */
  int32_t reserved;
  char problem[512]; /* the first problem found, in words; empty when sound */
} StowmasterCheckReport;

/* What a pass or emptying did. */
typedef struct StowmasterPassResult {
  uint32_t size;
  int32_t deleted_files; /* entries deleted and dropped from the index */
  int64_t deleted_bytes;
  int32_t kept_files;      /* entries it meant to delete but could not (in use, no permission) */
  int32_t remaining_files; /* entries listed afterwards */
  int64_t kept_bytes;
  int64_t remaining_bytes;
} StowmasterPassResult;

/* Called for each entry of a walk; return 0 to stop the walk. */
typedef int32_t(STOWMASTER_CALL* StowmasterEntryFn)(const StowmasterEntry* entry, void* context);
/* Called between batches of a pass or emptying, never under the lock, with
 * what was done so far. */
typedef void(STOWMASTER_CALL* StowmasterProgressFn)(const StowmasterPassResult* so_far,
                                                    void* context);

/* The settings in effect and where they came from. Creates nothing.
 * STOWMASTER_UNUSABLE when the settings cannot be read. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterGetSettings(StowmasterSettings* settings);

/* Figures of the index. STOWMASTER_UNUSABLE when an existing index cannot
 * be opened or locked. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterGetStatus(StowmasterStatus* status);

/* Calls `fn` for the listed files in list order, the most recently
 * registered first, at most `limit` of them (0: all). Entries are copied in
 * batches under the lock; `fn` runs without it. STOWMASTER_CHANGED when
 * another process changed the list between two batches so that the walk
 * could not go on, STOWMASTER_DAMAGED when the list is damaged (a link out
 * of range, a back link that does not match, a loop); what was reported
 * so far stands either way. No index: nothing is reported. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterListEntries(int32_t limit, StowmasterEntryFn fn,
                                                             void* context);

/* Checks the index as it is, without repairing it (repair = 0):
 * STOWMASTER_OK when sound, STOWMASTER_DAMAGED when not. With repair != 0 a
 * damaged index is then repaired as an ordinary opening does (lists rebuilt,
 * or an index without its mark formatted anew, which loses its entries):
 * still STOWMASTER_DAMAGED, with `repaired` set. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterCheck(int32_t repair,
                                                       StowmasterCheckReport* report);

/* One eviction pass now, as the library runs them: above the high mark it
 * deletes the least recently registered files that are old enough until
 * the low mark is passed; below it, nothing. `progress` may be null.
 * STOWMASTER_INCOMPLETE when some entries could not be deleted. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterShrink(StowmasterPassResult* result,
                                                        StowmasterProgressFn progress,
                                                        void* context);

/* Deletes every listed file that can be deleted, whatever its size, age
 * and delay. `progress` may be null. STOWMASTER_INCOMPLETE when some
 * entries could not be deleted. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterEmpty(StowmasterPassResult* result,
                                                       StowmasterProgressFn progress,
                                                       void* context);

/* How StowmasterShrinkWith runs. Zeroed (with its size set) it is
 * StowmasterShrink. */
typedef struct StowmasterShrinkOptions {
  uint32_t size;
  /* 1: deletes nothing. `each` is told, in order, what the pass would
   * delete now if every deletion succeeded, and the result counts it as
   * deleted; entries refused within their back-off count as kept (with
   * `older_than`, which tries them again, none is kept). The entries are
   * read as StowmasterListEntries reads them: STOWMASTER_CHANGED and
   * STOWMASTER_DAMAGED as there. */
  int32_t dry_run;
  /* 0: an ordinary pass (above the high mark, towards the low mark). > 0:
   * deletes every listed file registered at least this many seconds ago,
   * whatever the marks, still keeping each file's own minimum age, and
   * tries files whose deletion was refused again at once. Less than the
   * configured minimum age ("Delay"): STOWMASTER_BAD_ARGUMENT. */
  int64_t older_than;
  /* May be null: called without the lock for each entry the pass deleted
   * (dry run: would delete), in the order of the pass. Return 0 to stop:
   * the pass ends after the batch in hand. */
  StowmasterEntryFn each;
  void* each_context;
} StowmasterShrinkOptions;

/* One eviction pass as `options` say (null: as StowmasterShrink).
 * `progress` may be null. STOWMASTER_INCOMPLETE when some entries could
 * not be deleted. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterShrinkWith(const StowmasterShrinkOptions* options,
                                                            StowmasterPassResult* result,
                                                            StowmasterProgressFn progress,
                                                            void* context);

/* What the disk says of one listed file, when it disagrees with the index. */
#define STOWMASTER_FILE_MISSING 1      /* no file at the path */
#define STOWMASTER_FILE_NOT_REGULAR 2  /* a folder, a FIFO, a device or the like */
#define STOWMASTER_FILE_SIZE_DIFFERS 3 /* a regular file of another size */

typedef struct StowmasterFileProblem {
  uint32_t size;
  int32_t block;    /* the entry's block number in the index */
  char path[260];   /* as registered */
  int32_t problem;  /* STOWMASTER_FILE_... */
  int32_t repaired; /* 1: the entry was dropped (missing, not regular) or its size
                       updated; 0: no repair asked, or the entry changed meanwhile */
  int64_t listed_size; /* bytes, as the index counts them */
  int64_t disk_size;   /* bytes, counted as the index counts them (a file of 4 GiB
                          or more as 4 GiB - 1); 0 unless a regular file */
} StowmasterFileProblem;

/* Called for each listed file the disk disagrees with; return 0 to stop. */
typedef int32_t(STOWMASTER_CALL* StowmasterFileProblemFn)(const StowmasterFileProblem* problem,
                                                          void* context);

/* What a check of the files saw. */
typedef struct StowmasterFilesReport {
  uint32_t size;
  int32_t checked;      /* listed entries whose file was looked at */
  int32_t missing;      /* of them: STOWMASTER_FILE_MISSING */
  int32_t not_regular;  /* STOWMASTER_FILE_NOT_REGULAR */
  int32_t size_differs; /* STOWMASTER_FILE_SIZE_DIFFERS */
  int32_t repaired;     /* entries dropped or updated */
  int64_t dropped_bytes; /* the listed bytes of the entries dropped */
  int64_t size_change;   /* bytes the updated sizes added to the total (< 0: removed) */
} StowmasterFilesReport;

/* Compares every listed entry with its file on disk. The entries are copied
 * in batches under the lock and their files looked at without it. With
 * repair != 0, an entry whose file is missing or not a regular file is
 * dropped from the index, and one whose size differs takes the file's size
 * (the bytes in use follow), each after checking under the lock that the
 * block still holds the same registration, each with a line in the log.
 * `fn` may be null. STOWMASTER_OK when the disk agrees with every entry,
 * STOWMASTER_FILES_DIFFER when not (repaired or not); STOWMASTER_CHANGED
 * and STOWMASTER_DAMAGED as for StowmasterListEntries. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterCheckFiles(int32_t repair,
                                                            StowmasterFilesReport* report,
                                                            StowmasterFileProblemFn fn,
                                                            void* context);

/* What an adoption did so far. */
typedef struct StowmasterAdoptResult {
  uint32_t size;
  int32_t found;   /* regular files below the folder, the library's own files left out */
  int32_t listed;  /* of them, already listed (the same file, however its path is spelt) */
  int32_t adopted; /* registered now */
  int32_t failed;  /* could not be registered (the log says why) */
  int32_t reserved;
  int64_t adopted_bytes;
} StowmasterAdoptResult;

/* Called between batches of an adoption, never under the lock. */
typedef void(STOWMASTER_CALL* StowmasterAdoptProgressFn)(const StowmasterAdoptResult* so_far,
                                                         void* context);

/* Registers the regular files below `folder` (its subfolders included,
 * links not followed) that the index does not list, oldest modification
 * first, each with its own minimum age `delay` in seconds, as a
 * registration does but without running an eviction pass. Files are told
 * apart by their identity (device and inode, or volume and file ID), not
 * by how their paths are spelt. `folder` must lie within the cache
 * folders ("CacheDir" and "FileFolders"): else STOWMASTER_BAD_ARGUMENT.
 * STOWMASTER_INCOMPLETE when some files could not be registered. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterAdopt(const char* folder, uint32_t delay,
                                                       StowmasterAdoptResult* result,
                                                       StowmasterAdoptProgressFn progress,
                                                       void* context);

/* What lies on disk below the cache folders. */
typedef struct StowmasterDiskUsage {
  uint32_t size;
  int32_t folders;        /* cache folders walked ("CacheDir" and "FileFolders") */
  int64_t files;          /* regular files below them, each file counted once */
  int64_t bytes;          /* their sizes */
  int64_t unlisted_files; /* of them, not listed in the index (the library's own files
                             left out) */
  int64_t unlisted_bytes;
} StowmasterDiskUsage;

/* Walks the cache folders (links not followed) and tells what lies there
 * that the index does not list. Reads the index like StowmasterListEntries;
 * changes nothing. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterGetDiskUsage(StowmasterDiskUsage* usage);

/* Writes the text dump of the index (as Index.Dmp holds it) to the file
 * `path`, or, with `path` null, to `buffer` (NUL-terminated; "\n" line ends).
 * `length` (may be null) receives the dump's length in bytes without the
 * terminator; STOWMASTER_TOO_SMALL when it does not fit in `buffer_size`
 * bytes. A missing index gives STOWMASTER_UNUSABLE. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterDump(const char* path, char* buffer,
                                                      uint64_t buffer_size, uint64_t* length);

/* Copies the reason for the last failure on the calling thread of one of
 * these functions, of InitializeStowmaster or of a registration (for
 * example "open /srv/cache/Index.Dat: Permission denied"), NUL-terminated
 * and cut to `size` bytes, and returns its full length; "" when none failed
 * on this thread. Each thread reads only its own failures. The library
 * keeps at most 4095 bytes of a reason. */
STOWMASTER_API uint32_t STOWMASTER_CALL StowmasterLastError(char* buffer, uint32_t size);

/* Makes `path` the settings file of this process, in place of the one
 * beside the library (and, where there is one, of the file that the
 * STOWMASTER_SETTINGS environment variable names), for a program whose user
 * names the file. Call it before InitializeStowmaster: every later call of
 * this process, the watching and operating ones included, then works on the
 * cache it names.
 *
 * In a privileged process (root, a service account, a set-user-ID program,
 * a capability that passes the system's permission checks on deletion) the
 * file is taken only when nobody but its owner, an administrator or the
 * process's own user can change it or its folder: the check every settings
 * file of such a process passes. Such a process ignores STOWMASTER_SETTINGS
 * (and logs that it does); this call is how it is told of another file.
 *
 * STOWMASTER_OK: taken. STOWMASTER_BAD_ARGUMENT: a null or empty path.
 * STOWMASTER_UNUSABLE, with nothing changed: the file cannot be read, this
 * process may not use it, or InitializeStowmaster has been called (the
 * settings file stays fixed until the last UnInitializeStowmaster). */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterUseSettingsFile(const char* path);

/* One setting, or one problem found in the settings. */
#define STOWMASTER_SETTING 0                  /* a setting and where its value comes from */
#define STOWMASTER_PROBLEM_UNKNOWN_KEY 1      /* a key the library does not know: ignored */
#define STOWMASTER_PROBLEM_OUT_OF_RANGE 2     /* a number out of its range: the default applies */
#define STOWMASTER_PROBLEM_NOT_A_NUMBER 3     /* text besides the number: what it reads as */
#define STOWMASTER_PROBLEM_UNREADABLE 4       /* the file cannot be read: the defaults apply */
#define STOWMASTER_PROBLEM_VARIABLE_IGNORED 5 /* STOWMASTER_SETTINGS ignored: privileged */
#define STOWMASTER_PROBLEM_UNTRUSTED 6        /* a privileged process may not use the file */
typedef struct StowmasterSettingItem {
  uint32_t size;
  int32_t kind;     /* STOWMASTER_SETTING or a STOWMASTER_PROBLEM_* code */
  char section[32]; /* "Cache" or "Log"; "" for a problem of the whole file */
  char key[64];     /* as the library names it; an unknown key as written */
  char value[1024]; /* a setting: its value in effect; a problem: the text
                       written (the variable's value for VARIABLE_IGNORED) */
  char unit[16];    /* a setting's unit in the file: "MiB", "%", "minutes" or "" */
  char file[1024];  /* the file the value comes from; "" when the default applies */
  int32_t line;     /* its line there, from 1; 0: the default, or the whole file */
  int32_t reserved;
  char text[1024]; /* a problem in words, one line; "" for a setting */
} StowmasterSettingItem;

typedef int32_t(STOWMASTER_CALL* StowmasterSettingFn)(const StowmasterSettingItem* item,
                                                      void* context);

/* Reads the settings file afresh and calls `fn` for each setting the
 * library reads (with its value in effect and the file and line it comes
 * from, or none for a default), then for each problem found, in the order
 * of the file; return 0 to stop. The same problems the library logs at its
 * first initialisation. Creates nothing. STOWMASTER_BAD_ARGUMENT without
 * `fn`. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterListSettings(StowmasterSettingFn fn,
                                                              void* context);
/* The cache's counters, cumulative since the index was made, kept in the
 * lookup file beside the index ("Index.Lkp"). A rebuild of the lookup
 * table keeps them; a lookup file made afresh (deleted, or cut short
 * through its header) starts them again at zero, and `counting_since` then
 * tells when. Processes of an earlier release sharing the cache break
 * nothing, but count nothing either: what they do is left out. */
typedef struct StowmasterCounters {
  uint32_t size;
  int32_t available;                /* 0: no index or no lookup file yet: all zero */
  uint64_t registrations_new;       /* registrations that listed a new file */
  uint64_t registrations_refreshed; /* registrations of a file already listed */
  uint64_t registrations_refused;   /* registrations turned down (full index included) */
  uint64_t full_index_refusals;     /* of them, turned down for a full index */
  uint64_t passes;                  /* eviction passes that looked at the list */
  uint64_t pass_deleted_files;      /* files deleted by passes */
  uint64_t pass_deleted_bytes;      /* their listed bytes */
  uint64_t emptied_files;           /* files deleted by emptying the cache */
  uint64_t emptied_bytes;           /* their listed bytes */
  uint64_t deletions_refused;       /* deletions a pass or emptying tried and was refused */
  uint64_t repair_dropped;          /* entries dropped by repairs of the index */
  int64_t counting_since;           /* seconds since 1970 UTC; 0 when not known */
  int64_t last_reset;               /* when last zeroed; 0: never */
  int64_t now;                      /* when they were read */
} StowmasterCounters;

/* Reads the counters under the index lock. Creates nothing: without an
 * index or its lookup file, `available` is 0. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterGetCounters(StowmasterCounters* counters);

/* Sets every counter to zero under the index lock and notes the time in
 * `last_reset`. Without an index there is nothing to zero (STOWMASTER_OK);
 * STOWMASTER_UNUSABLE when the index or its lookup file cannot be used. */
STOWMASTER_API int32_t STOWMASTER_CALL StowmasterZeroCounters(void);

#ifdef __cplusplus
}
#endif

#endif /* STOWMASTER_H_ */
