/*
 * Prints the size of every struct of stowmaster.h and the offset of each of
 * its fields, as this C compiler lays them out, one per line:
 *
 *   StowmasterEntry 304
 *   StowmasterEntry.path 8
 *
 * test_stowmaster.py compares the Python module's ctypes structs with it.
 */
#include <stddef.h>
#include <stdio.h>

#include "stowmaster.h"

#define SIZE(s) printf(#s " %u\n", (unsigned)sizeof(s))
#define FIELD(s, f) printf(#s "." #f " %u\n", (unsigned)offsetof(s, f))

int main(void) {
  SIZE(StowmasterSettings);
  FIELD(StowmasterSettings, size);
  FIELD(StowmasterSettings, settings_found);
  FIELD(StowmasterSettings, settings_file);
  FIELD(StowmasterSettings, cache_dir);
  FIELD(StowmasterSettings, index_path);
  FIELD(StowmasterSettings, log_file);
  FIELD(StowmasterSettings, log_writable);
  FIELD(StowmasterSettings, precision);
  FIELD(StowmasterSettings, limit_bytes);
  FIELD(StowmasterSettings, high_mark_bytes);
  FIELD(StowmasterSettings, low_mark_bytes);
  FIELD(StowmasterSettings, min_age_seconds);

  SIZE(StowmasterStatus);
  FIELD(StowmasterStatus, size);
  FIELD(StowmasterStatus, index_present);
  FIELD(StowmasterStatus, index_formatted);
  FIELD(StowmasterStatus, lists_consistent);
  FIELD(StowmasterStatus, entries);
  FIELD(StowmasterStatus, capacity);
  FIELD(StowmasterStatus, bytes_in_use);
  FIELD(StowmasterStatus, oldest_registration);
  FIELD(StowmasterStatus, newest_registration);
  FIELD(StowmasterStatus, evictable_files);
  FIELD(StowmasterStatus, reserved);
  FIELD(StowmasterStatus, evictable_bytes);
  FIELD(StowmasterStatus, now);
  FIELD(StowmasterStatus, next_path);
  FIELD(StowmasterStatus, reserved2);
  FIELD(StowmasterStatus, next_registered);
  FIELD(StowmasterStatus, refused_files);
  FIELD(StowmasterStatus, reserved3);
  FIELD(StowmasterStatus, refused_bytes);
  FIELD(StowmasterStatus, limit_bytes);
  FIELD(StowmasterStatus, reconciliation_pending);
  FIELD(StowmasterStatus, reserved4);
  FIELD(StowmasterStatus, high_mark_bytes);
  FIELD(StowmasterStatus, low_mark_bytes);

  SIZE(StowmasterEntry);
  FIELD(StowmasterEntry, size);
  FIELD(StowmasterEntry, block);
  FIELD(StowmasterEntry, path);
  FIELD(StowmasterEntry, file_size);
  FIELD(StowmasterEntry, registered);
  FIELD(StowmasterEntry, delay);
  FIELD(StowmasterEntry, evictable);
  FIELD(StowmasterEntry, reserved);

  SIZE(StowmasterCheckReport);
  FIELD(StowmasterCheckReport, size);
  FIELD(StowmasterCheckReport, index_present);
  FIELD(StowmasterCheckReport, index_formatted);
  FIELD(StowmasterCheckReport, lists_consistent);
  FIELD(StowmasterCheckReport, interrupted);
  FIELD(StowmasterCheckReport, repaired);
  FIELD(StowmasterCheckReport, valid_count);
  FIELD(StowmasterCheckReport, free_count);
  FIELD(StowmasterCheckReport, valid_bytes);
  FIELD(StowmasterCheckReport, header_bytes);
  FIELD(StowmasterCheckReport, header_count);
  FIELD(StowmasterCheckReport, reserved);
  FIELD(StowmasterCheckReport, problem);

  SIZE(StowmasterPassResult);
  FIELD(StowmasterPassResult, size);
  FIELD(StowmasterPassResult, deleted_files);
  FIELD(StowmasterPassResult, deleted_bytes);
  FIELD(StowmasterPassResult, kept_files);
  FIELD(StowmasterPassResult, remaining_files);
  FIELD(StowmasterPassResult, kept_bytes);
  FIELD(StowmasterPassResult, remaining_bytes);

  SIZE(StowmasterShrinkOptions);
  FIELD(StowmasterShrinkOptions, size);
  FIELD(StowmasterShrinkOptions, dry_run);
  FIELD(StowmasterShrinkOptions, older_than);
  FIELD(StowmasterShrinkOptions, each);
  FIELD(StowmasterShrinkOptions, each_context);

  SIZE(StowmasterFileProblem);
  FIELD(StowmasterFileProblem, size);
  FIELD(StowmasterFileProblem, block);
  FIELD(StowmasterFileProblem, path);
  FIELD(StowmasterFileProblem, problem);
  FIELD(StowmasterFileProblem, repaired);
  FIELD(StowmasterFileProblem, listed_size);
  FIELD(StowmasterFileProblem, disk_size);

  SIZE(StowmasterFilesReport);
  FIELD(StowmasterFilesReport, size);
  FIELD(StowmasterFilesReport, checked);
  FIELD(StowmasterFilesReport, missing);
  FIELD(StowmasterFilesReport, not_regular);
  FIELD(StowmasterFilesReport, size_differs);
  FIELD(StowmasterFilesReport, repaired);
  FIELD(StowmasterFilesReport, dropped_bytes);
  FIELD(StowmasterFilesReport, size_change);

  SIZE(StowmasterAdoptResult);
  FIELD(StowmasterAdoptResult, size);
  FIELD(StowmasterAdoptResult, found);
  FIELD(StowmasterAdoptResult, listed);
  FIELD(StowmasterAdoptResult, adopted);
  FIELD(StowmasterAdoptResult, failed);
  FIELD(StowmasterAdoptResult, reserved);
  FIELD(StowmasterAdoptResult, adopted_bytes);

  SIZE(StowmasterDiskUsage);
  FIELD(StowmasterDiskUsage, size);
  FIELD(StowmasterDiskUsage, folders);
  FIELD(StowmasterDiskUsage, files);
  FIELD(StowmasterDiskUsage, bytes);
  FIELD(StowmasterDiskUsage, unlisted_files);
  FIELD(StowmasterDiskUsage, unlisted_bytes);

  SIZE(StowmasterSettingItem);
  FIELD(StowmasterSettingItem, size);
  FIELD(StowmasterSettingItem, kind);
  FIELD(StowmasterSettingItem, section);
  FIELD(StowmasterSettingItem, key);
  FIELD(StowmasterSettingItem, value);
  FIELD(StowmasterSettingItem, unit);
  FIELD(StowmasterSettingItem, file);
  FIELD(StowmasterSettingItem, line);
  FIELD(StowmasterSettingItem, reserved);
  FIELD(StowmasterSettingItem, text);
  SIZE(StowmasterCounters);
  FIELD(StowmasterCounters, size);
  FIELD(StowmasterCounters, available);
  FIELD(StowmasterCounters, registrations_new);
  FIELD(StowmasterCounters, registrations_refreshed);
  FIELD(StowmasterCounters, registrations_refused);
  FIELD(StowmasterCounters, full_index_refusals);
  FIELD(StowmasterCounters, passes);
  FIELD(StowmasterCounters, pass_deleted_files);
  FIELD(StowmasterCounters, pass_deleted_bytes);
  FIELD(StowmasterCounters, emptied_files);
  FIELD(StowmasterCounters, emptied_bytes);
  FIELD(StowmasterCounters, deletions_refused);
  FIELD(StowmasterCounters, repair_dropped);
  FIELD(StowmasterCounters, counting_since);
  FIELD(StowmasterCounters, last_reset);
  FIELD(StowmasterCounters, now);
  return 0;
}
