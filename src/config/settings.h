// The settings file beside the library, the cache settings read from it and
// the cache folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/os_error.h"

namespace stow {

// The tunable values of one cache, as read from the settings file.
struct CacheSettings {
  int64_t CacheSize;  // the limit, in bytes
  int32_t Precision;  // percent, 1..50: the marks lie this far around the limit
  int64_t Delay;      // minimum age of every cached file, in seconds
};

// Buffer size of every path the library forms (the Windows MAX_PATH).
constexpr size_t kPathBufferSize = 260;

extern const char kSettingsFileName[];  // "TESSARON.INI"
extern const char kIndexFileName[];     // "Index.Dat"
extern const char kDumpFileName[];      // "Index.Dmp"
extern const char* const kDefaultCacheDir;
extern const char* const kDefaultLogPath;

// Copies the value of `key` in `section` of the settings file to `out`
// (cut to `out_size` - 1 bytes), or `fallback` when there is none. The file
// is read afresh on every call; only its location is remembered.
void GetConfigurationString(const char* section, const char* key, const char* fallback, char* out,
                            size_t out_size);

// Reads what is asked for: the settings, the index path (creating the cache
// folder) and the dump path. Each output may be null; the paths are buffers
// of kPathBufferSize bytes. Throws OsError when the cache folder cannot be
// created or the paths do not fit.
void GetCacheSettings(CacheSettings* settings, char* index_path, char* dump_path);

// The folders a privileged process may delete cached files in: the cache
// folder, then each folder of "FileFolders" in [Cache] (separated by ';'),
// without trailing separators; empty entries are left out.
std::vector<std::string> DeletionFolders();

// "AdoptFileFolders" in [Cache] (0 or 1, default 0): whether the
// reconciliation with the disk after a restart adopts the unlisted files
// below the FileFolders too, not only those below the cache folder.
bool AdoptFileFolders();

// Makes sure `path` names a folder, creating the missing levels. On failure
// `error` (when given) receives the system's code of the failed creation.
bool EnsureDirectory(const char* path, uint32_t* error = nullptr);

// Points the library at another settings file; an empty path goes back to
// the usual lookup, which is then made afresh. For tests and tools that link
// the core.
void SetSettingsFileForTesting(const std::string& path);

// The settings file the library reads: its path (empty when the library's
// own location cannot be had) and, in `found`, whether it exists.
std::string SettingsFileInEffect(bool* found);

// Thrown when a privileged process may not use the settings file: what()
// names the file and the reason, in the words of the log line (without its
// line end). An OsError with the code of a refused access, the call
// "settings" and the file's path.
class UntrustedSettings : public OsError {
 public:
  UntrustedSettings(const std::string& path, const std::string& reason);
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string reason_;
};

// A privileged process (Privileges: elevated or set_id) uses only a
// settings file that nobody but its owner, root or the process's own user
// (on Windows Administrators, SYSTEM or the process's account), can change,
// in a folder of the same kind. Judges the settings file afresh and throws
// UntrustedSettings when this process may not use it; then, until a later
// judgement says otherwise, every lookup gives its default (the log's
// folder included), so that no folder is taken from that file.
// GetCacheSettings does this first.
void RequireTrustedSettings();

// Makes `path` the settings file of this process in place of the usual
// lookup (the settings variable included), for a program whose user names
// the file. A privileged process takes it only when it passes the check of
// RequireTrustedSettings. False with `why` set (in words, one line) when
// the file cannot be read or may not be used; nothing changes then.
bool UseSettingsFile(const std::string& path, std::string* why);

// What is wrong with the settings, each found by the reader itself.
enum class SettingsProblemKind : int32_t {
  kUnknownKey = 1,       // a key of [Cache] or [Log] that the library does not know
  kOutOfRange = 2,       // a number outside its range: the default applies
  kNotANumber = 3,       // a value that is not a whole number alone: what is read of it
  kUnreadable = 4,       // the settings file is there but cannot be read: the defaults apply
  kVariableIgnored = 5,  // the settings variable is set, and ignored in a privileged process
  kUntrusted = 6,        // a privileged process may not use the settings file
};

struct SettingsProblem {
  SettingsProblemKind kind;
  std::string section;  // "Cache" or "Log"; empty for the file as a whole
  std::string key;      // the library's name of it; an unknown key as written
  std::string written;  // the value as the file holds it (the variable's value)
  int line = 0;         // its line in the file; 0 for the file as a whole
  int64_t number = 0;   // a number's value as read (kOutOfRange, kNotANumber)
  int64_t low = 0;      // and its range
  int64_t high = 0;
  std::string text;  // in words, one line without its end
};

// One setting as the library uses it.
struct SettingFact {
  const char* section;
  const char* key;
  std::string value;  // in effect, in the file's unit
  const char* unit;   // "MiB", "%", "minutes"; "" for a text
  int line = 0;       // the line of the settings file it comes from; 0: the default
};

// The settings file, each setting with its value and where it comes from,
// and every problem found. The log, the program and the C interface all
// tell these same facts.
struct SettingsFacts {
  std::string file;  // the settings file looked at ("" when its place is unknown)
  bool found = false;
  std::vector<SettingFact> settings;
  std::vector<SettingsProblem> problems;
};

// Reads the settings file afresh and judges it. Logs nothing of its own
// (forming the settings path the first time logs that the variable is
// ignored, as every first lookup does).
SettingsFacts ExamineSettings();

// Logs one line for each key of the "Cache" and "Log" sections that the
// library does not know, each value out of its range (the default then
// applies) and each number followed by other text. Does so once per
// process; later calls do nothing. Says nothing of a file that this
// process may not use.
void ReportSettingsProblems();

namespace detail {
// The same lookup without the failure message: the log writer's own way in,
// which must not log about itself.
void ReadSetting(const char* section, const char* key, const char* fallback, char* out,
                 size_t out_size, bool report_failure);
// Converts text as the C library's atoi family does (leading blanks, a sign,
// digits up to the first other character; no digits gives 0), saturating
// instead of overflowing.
int64_t ParseInteger(const char* text);
}  // namespace detail

}  // namespace stow
