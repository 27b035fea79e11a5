#include "config/settings.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "config/log.h"
#include "platform/ini_parser.h"
#include "platform/platform.h"

namespace stow {

const char kSettingsFileName[] = "TESSARON.INI";
const char kIndexFileName[] = "Index.Dat";
const char kDumpFileName[] = "Index.Dmp";
const char* const kDefaultCacheDir = platform::kDefaultCacheDir;
const char* const kDefaultLogPath = platform::kDefaultLogPath;

namespace {

constexpr int64_t kMiB = 0x100000;
constexpr int64_t kMinCacheSize = 0x3200000;             // 50 MiB
constexpr int64_t kMaxCacheSize = 50LL * 0x100000000LL;  // 204,800 MiB
constexpr int64_t kDefaultCacheSize = 0xC800000;         // 200 MiB
constexpr int32_t kDefaultPrecision = 20;
constexpr int64_t kMinDelay = 300;
constexpr int64_t kMaxDelay = 259200;
constexpr int64_t kDefaultDelay = 900;

// Where the settings file is, formed once per process.
struct SettingsLocation {
  platform::LocalMutex mutex;
  std::string path;
  std::string override_path;
  bool formed = false;
  bool variable_ignored = false;  // to be logged once the lookup is done
  // The file last judged (see RequireTrustedSettings) and why this process
  // may not use it; empty when it may.
  std::string judged_path;
  std::string distrust;
};

SettingsLocation& Location() {
  static SettingsLocation location;
  return location;
}

// The settings file: the one the settings variable names (not in a
// privileged process, whose settings an unprivileged environment must not
// choose), else the one beside the library, else the system's when that
// exists. False when the library's own path cannot be had.
bool FormSettingsPath(SettingsLocation& loc) {
  std::string variable;
  if (platform::kSettingsVariable[0] != '\0' &&
      platform::env().ReadEnvironmentVariable(platform::kSettingsVariable, &variable) &&
      !variable.empty()) {
    const platform::Privileges privileges = platform::env().ProcessPrivileges();
    if (!privileges.privileged()) {
      loc.path = variable;
      return true;
    }
    loc.variable_ignored = true;
  }
  std::string module;
  if (!platform::env().ModuleFilePath(&module).ok()) return false;
  size_t cut = module.find_last_of(platform::kSeparator);
  module.resize(cut == std::string::npos ? 0 : cut + 1);
  loc.path = module + kSettingsFileName;
  platform::FileInfo info;
  if (platform::kSystemSettingsFile[0] != '\0' &&
      !platform::env().GetFileKind(loc.path.c_str(), &info).ok() &&
      platform::env().GetFileKind(platform::kSystemSettingsFile, &info).ok()) {
    loc.path = platform::kSystemSettingsFile;
  }
  return true;
}

// Why this process may not use the settings file at `path`, in the words
// of the log line; empty when it may. Only a privileged process is choosy:
// the file names the folders in which it creates and deletes files.
std::string DistrustOf(const std::string& path) {
  const platform::Privileges privileges = platform::env().ProcessPrivileges();
  if (!privileges.privileged()) return std::string();
  std::string culprit;
  platform::ChangeRights rights = platform::ChangeRights::kUnknown;
  const OsStatus looked = platform::env().WhoMayChange(path.c_str(), &rights, &culprit);
  // A finding about the folder names it.
  const std::string where =
      culprit == path ? std::string() : "lies in the folder " + culprit + ", which ";
  std::string why;
  switch (rights) {
    case platform::ChangeRights::kOwnerOnly:
    case platform::ChangeRights::kMissing:  // the defaults apply
      return std::string();
    case platform::ChangeRights::kOtherOwner:
      why = where + "belongs to another user";
      break;
    case platform::ChangeRights::kOthersMayWrite:
      why = where.empty() ? "is writable by others than its owner"
                          : where + "others than its owner can write";
      break;
    case platform::ChangeRights::kUnknown:
      why = where + "cannot be checked (" + platform::ErrorText(looked.code()) + ")";
      break;
  }
  return "Settings file " + path + " " + why + ": not used by a privileged process.";
}

// Gives the settings file path, or false when the library's own path cannot
// be had (the next call tries again). With `distrust`, also why this
// process may not use the file (empty when it may), as judged when the path
// was formed or, with `judge_afresh`, now.
bool SettingsPath(std::string* out, std::string* distrust = nullptr, bool judge_afresh = false) {
  SettingsLocation& loc = Location();
  bool report_ignored = false;
  {
    platform::LocalLock guard(loc.mutex);
    if (!loc.override_path.empty()) {
      *out = loc.override_path;
    } else {
      if (!loc.formed) {
        if (!FormSettingsPath(loc)) return false;
        loc.formed = true;
        report_ignored = loc.variable_ignored;
      }
      *out = loc.path;
    }
    if (judge_afresh || loc.judged_path != *out) {
      loc.distrust = DistrustOf(*out);
      loc.judged_path = *out;
    }
    if (distrust != nullptr) *distrust = loc.distrust;
  }
  // Outside the lock: the log writer looks up its own setting here.
  if (report_ignored) {
    WriteLogBufferToFile("%s is ignored in a privileged process; settings file: %s.\n",
                         platform::kSettingsVariable, out->c_str());
  }
  return true;
}

void CopyOut(const std::string& value, char* out, size_t out_size) {
  if (out_size == 0) return;
  size_t n = value.size() < out_size - 1 ? value.size() : out_size - 1;
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
}

void RemoveTrailingSeparator(char* path) {
  size_t n = std::strlen(path);
  if (n > 0 && path[n - 1] == platform::kSeparator) path[n - 1] = '\0';
}

// The "CacheDir" folder without its trailing separator.
void ReadCacheDir(char* folder) {
  GetConfigurationString("Cache", "CacheDir", kDefaultCacheDir, folder, kPathBufferSize);
  RemoveTrailingSeparator(folder);
}

// `folder` + separator + `file_name`, or OsError when it does not fit.
void JoinCachePath(const char* folder, const char* file_name, char* out) {
  std::string path = std::string(folder) + platform::kSeparator + file_name;
  if (path.size() >= kPathBufferSize) {
    throw OsError(platform::kErrorNameTooLong, "path too long", path);
  }
  CopyOut(path, out, kPathBufferSize);
}

}  // namespace

namespace detail {

void ReadSetting(const char* section, const char* key, const char* fallback, char* out,
                 size_t out_size, bool report_failure) {
  std::string path;
  std::string distrust;
  if (!SettingsPath(&path, &distrust)) {
    if (report_failure) {
      WriteLogBufferToFile(
          "GetConfigurationString: \xCE\xDE\xB7\xA8\xBB\xF1\xC8\xA1"
          "DLL\xC4\xA3\xBF\xE9\xC2\xB7\xBE\xB6. \n");
    }
    CopyOut(fallback, out, out_size);
    return;
  }
  // Nothing is taken from a file this process may not use.
  if (!distrust.empty()) {
    CopyOut(fallback, out, out_size);
    return;
  }
  CopyOut(platform::env().ReadProfileString(path, section, key, fallback, out_size), out, out_size);
}

int64_t ParseInteger(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint64_t value = 0;
  const uint64_t limit = negative ? 0x8000000000000000ULL : 0x7FFFFFFFFFFFFFFFULL;
  for (; *p >= '0' && *p <= '9'; ++p) {
    unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > (limit - digit) / 10) {
      value = limit;
      break;
    }
    value = value * 10 + digit;
  }
  if (negative) return value == 0x8000000000000000ULL ? INT64_MIN : -static_cast<int64_t>(value);
  return static_cast<int64_t>(value);
}

}  // namespace detail

void GetConfigurationString(const char* section, const char* key, const char* fallback, char* out,
                            size_t out_size) {
  detail::ReadSetting(section, key, fallback, out, out_size, true);
}

void SetSettingsFileForTesting(const std::string& path) {
  SettingsLocation& loc = Location();
  platform::LocalLock guard(loc.mutex);
  loc.override_path = path;
  loc.formed = false;
  loc.variable_ignored = false;
  loc.judged_path.clear();
  loc.distrust.clear();
}

UntrustedSettings::UntrustedSettings(const std::string& path, const std::string& reason)
    : OsError(platform::kErrorAccessDenied, "settings", path), reason_(reason) {}

void RequireTrustedSettings() {
  std::string path;
  std::string distrust;
  // Without a settings path nothing is read from a file: the defaults apply.
  if (!SettingsPath(&path, &distrust, true)) return;
  if (!distrust.empty()) throw UntrustedSettings(path, distrust);
}

bool AdoptFileFolders() {
  char value[8];
  GetConfigurationString("Cache", "AdoptFileFolders", "0", value, sizeof(value));
  return detail::ParseInteger(value) == 1;
}

std::vector<std::string> DeletionFolders() {
  std::vector<std::string> folders;
  char text[4096];
  ReadCacheDir(text);
  folders.push_back(text);
  GetConfigurationString("Cache", "FileFolders", "", text, sizeof(text));
  for (const char* p = text; *p != '\0';) {
    const char* end = std::strchr(p, ';');
    if (end == nullptr) end = p + std::strlen(p);
    std::string folder(p, end);
    while (!folder.empty() && (folder.back() == ' ' || folder.back() == '\t')) folder.pop_back();
    while (!folder.empty() && (folder.front() == ' ' || folder.front() == '\t')) folder.erase(0, 1);
    if (folder.size() > 1 && folder.back() == platform::kSeparator) folder.pop_back();
    if (!folder.empty()) folders.push_back(folder);
    p = *end == ';' ? end + 1 : end;
  }
  return folders;
}

void GetCacheSettings(CacheSettings* settings, char* index_path, char* dump_path) {
  if (settings != nullptr || index_path != nullptr || dump_path != nullptr) {
    RequireTrustedSettings();
  }
  if (settings != nullptr) {
    ReadLogOptions();
    char text[18];
    GetConfigurationString("Cache", "CacheSize", "200", text, sizeof(text));
    // Compared in MiB so that a huge value cannot overflow the product.
    int64_t mib = detail::ParseInteger(text);
    settings->CacheSize =
        (mib < kMinCacheSize / kMiB || mib > kMaxCacheSize / kMiB) ? kDefaultCacheSize : mib * kMiB;

    char precision[8];
    GetConfigurationString("Cache", "Precision", "20", precision, sizeof(precision));
    int64_t p = detail::ParseInteger(precision);
    settings->Precision = (p < 1 || p > 50) ? kDefaultPrecision : static_cast<int32_t>(p);

    char delay[8];
    GetConfigurationString("Cache", "Delay", "15", delay, sizeof(delay));
    int64_t seconds = detail::ParseInteger(delay) * 60;
    settings->Delay = (seconds < kMinDelay || seconds > kMaxDelay) ? kDefaultDelay : seconds;
  }
  if (index_path != nullptr) {
    char folder[kPathBufferSize];
    ReadCacheDir(folder);
    uint32_t error = 0;
    if (!EnsureDirectory(folder, &error)) {
      WriteLogBufferToFile("Create Cache Directory Error.\n");
      throw OsError(error, "mkdir", folder);
    }
    JoinCachePath(folder, kIndexFileName, index_path);
  }
  if (dump_path != nullptr) {
    // Read afresh: the dump goes where the settings say at shutdown.
    char folder[kPathBufferSize];
    ReadCacheDir(folder);
    JoinCachePath(folder, kDumpFileName, dump_path);
  }
}

bool EnsureDirectory(const char* path, uint32_t* error) {
  uint32_t ignored = 0;
  if (error == nullptr) error = &ignored;
  if (path == nullptr || path[0] == '\0') {
    *error = platform::kErrorInvalidName;
    return false;
  }
  if (std::strlen(path) >= kPathBufferSize) {
    *error = platform::kErrorNameTooLong;
    return false;
  }
  char copy[kPathBufferSize];
  std::snprintf(copy, sizeof(copy), "%s", path);
  RemoveTrailingSeparator(copy);
  if (platform::env().IsDirectory(copy)) return true;

  // A top folder (a root, a bare drive) cannot be created and needs
  // nothing above it.
  if (platform::IsTopFolder(copy, std::strlen(copy))) return true;
  const char* last = std::strrchr(copy, platform::kSeparator);
  const bool parent_is_root =
      last != nullptr && platform::IsTopFolder(copy, static_cast<size_t>(last - copy) + 1);
  // With no separator at all the path is one level below the working
  // folder; with the root above it there is nothing further up to create.
  if (last != nullptr && !parent_is_root) {
    copy[last - copy] = '\0';
    if (!EnsureDirectory(copy, error)) return false;
  }
  uint32_t code = platform::env().CreateDirectory(path).code();
  if (code == 0) return true;
  // Another process may have created it meanwhile.
  if (platform::env().IsDirectory(path)) return true;
  *error = code;
  return false;
}

// ------------------------------------------ what the settings file holds ---

std::string SettingsFileInEffect(bool* found) {
  std::string path;
  platform::FileInfo info;
  const bool known = SettingsPath(&path);
  if (found != nullptr) *found = known && platform::env().GetFileKind(path.c_str(), &info).ok();
  return known ? path : std::string();
}

namespace {

// Key names compare without regard to ASCII case, as the lookup does.
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameKey(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// How many one-character edits (without regard to case) turn `a` into `b`.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const size_t change = diagonal + (LowerAscii(a[i - 1]) == LowerAscii(b[j - 1]) ? 0 : 1);
      row[j] = std::min(change, std::min(above, row[j - 1]) + 1);
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Every key the library reads, as it reads it.
struct KnownSetting {
  const char* section;
  const char* key;
  const char* fallback;
  size_t buffer;     // the value is cut to buffer - 1 bytes
  int64_t low;       // the range of a number, in the file's unit;
  int64_t high;      // low > high: any text
  const char* unit;  // the file's unit of a number
};

const KnownSetting kKnown[] = {
    {"Cache", "CacheSize", "200", 18, 50, 204800, "MiB"},
    {"Cache", "Precision", "20", 8, 1, 50, "%"},
    {"Cache", "Delay", "15", 8, 5, 4320, "minutes"},
    {"Cache", "CacheDir", platform::kDefaultCacheDir, kPathBufferSize, 1, 0, ""},
    {"Cache", "FileFolders", "", 4096, 1, 0, ""},
    {"Cache", "AdoptFileFolders", "0", 8, 0, 1, ""},
    {"Log", "LogPath", platform::kDefaultLogPath, kPathBufferSize, 1, 0, ""},
    {"Log", "EchoToStdout", "0", 8, 0, 1, ""},
};

// A number with its unit: "200 MiB", "20 %", "15 minutes".
std::string WithUnit(int64_t number, const char* unit) {
  return std::to_string(number) + (unit[0] != '\0' ? " " : "") + unit;
}

// True when `text` holds a whole number and nothing else.
bool WholeNumberAlone(const std::string& text) {
  size_t at = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (at == text.size()) return false;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
  }
  return true;
}

// Judges the value `written` of the number `k` at `where` (FILE:LINE);
// adds the problem found, if any. Returns the number in effect and, in
// `used`, whether it is the file's (else the default).
int64_t JudgeNumber(const KnownSetting& k, const std::string& written, const std::string& where,
                    int line, std::vector<SettingsProblem>* problems, bool* used) {
  const std::string read = written.substr(0, k.buffer - 1);
  const int64_t number = detail::ParseInteger(read.c_str());
  const int64_t fallback = detail::ParseInteger(k.fallback);
  const bool in_range = number >= k.low && number <= k.high;
  const bool alone = read == written && WholeNumberAlone(written);
  *used = in_range;
  if (in_range && alone) return number;
  SettingsProblem p;
  p.kind = alone ? SettingsProblemKind::kOutOfRange : SettingsProblemKind::kNotANumber;
  p.section = k.section;
  p.key = k.key;
  p.written = written;
  p.line = line;
  p.number = number;
  p.low = k.low;
  p.high = k.high;
  const std::string range = "out of range (" + std::to_string(k.low) + " to " +
                            WithUnit(k.high, k.unit) + "): the default " +
                            WithUnit(fallback, k.unit) + " applies";
  p.text = where + ": " + k.key + "=" + written + " is ";
  if (alone) {
    p.text += range;
  } else {
    p.text += "not a whole number: ";
    if (number != detail::ParseInteger(written.c_str())) {
      p.text += "only its first " + std::to_string(read.size()) + " characters are read, ";
    }
    p.text += "it reads as " + std::to_string(number) +
              " (a number ends at its first other character; ';' starts a comment only at the "
              "start of a line), which " +
              (in_range ? std::string("applies") : "is " + range);
  }
  problems->push_back(p);
  return in_range ? number : fallback;
}

}  // namespace

bool UseSettingsFile(const std::string& path, std::string* why) {
  std::string text;
  const OsStatus read = path.empty() ? OsStatus(platform::kErrorInvalidName, "open", path)
                                     : platform::env().ReadTextFile(path.c_str(), 1, &text);
  if (!read.ok()) {
    *why = "cannot read " + path + ": " + platform::ErrorText(read.code());
    return false;
  }
  const std::string distrust = DistrustOf(path);
  if (!distrust.empty()) {
    *why = distrust;
    return false;
  }
  SettingsLocation& loc = Location();
  platform::LocalLock guard(loc.mutex);
  loc.override_path = path;
  loc.judged_path = path;
  loc.distrust.clear();
  return true;
}

SettingsFacts ExamineSettings() {
  SettingsFacts facts;
  std::string distrust;
  const bool known = SettingsPath(&facts.file, &distrust, true);
  if (!known) facts.file.clear();

  // The variable a privileged process ignores, unless a file was named.
  std::string variable;
  bool chosen = false;
  {
    SettingsLocation& loc = Location();
    platform::LocalLock guard(loc.mutex);
    chosen = !loc.override_path.empty();
  }
  if (!chosen && platform::kSettingsVariable[0] != '\0' &&
      platform::env().ReadEnvironmentVariable(platform::kSettingsVariable, &variable) &&
      !variable.empty() && platform::env().ProcessPrivileges().privileged()) {
    SettingsProblem p;
    p.kind = SettingsProblemKind::kVariableIgnored;
    p.written = variable;
    p.text = std::string(platform::kSettingsVariable) + "=" + variable +
             " is ignored in a privileged process, whose settings the environment must not "
             "choose; settings file: " +
             (known ? facts.file : std::string("none"));
    facts.problems.push_back(p);
  }

  // The file's text, for the lines; a file that cannot be read is read as
  // missing, so the defaults apply.
  std::string text;
  bool usable = known && distrust.empty();
  if (known) {
    const OsStatus read = platform::env().ReadTextFile(facts.file.c_str(), 1 << 20, &text);
    facts.found = read.ok();
    if (!read.ok() && !platform::IsNotFound(read.code())) {
      // Seen, but not readable: what GetFileKind tells.
      platform::FileInfo info;
      facts.found = platform::env().GetFileKind(facts.file.c_str(), &info).ok();
      if (facts.found) {
        SettingsProblem p;
        p.kind = SettingsProblemKind::kUnreadable;
        p.text = facts.file + " cannot be read (" + read.call() + ": " +
                 platform::ErrorText(read.code()) + "): the defaults apply";
        facts.problems.push_back(p);
      }
      usable = false;
    }
  }
  if (!distrust.empty()) {
    SettingsProblem p;
    p.kind = SettingsProblemKind::kUntrusted;
    p.text = distrust;
    facts.problems.push_back(p);
  }

  // Each key the file holds that the library does not know.
  if (usable && facts.found) {
    for (const char* section : {"Cache", "Log"}) {
      const std::string names =
          platform::env().ReadProfileString(facts.file, section, nullptr, "", 16384);
      std::vector<std::string> seen;
      for (size_t at = 0; at < names.size();) {
        const std::string key = names.substr(at, names.find('\0', at) - at);
        at += key.size() + 1;
        bool listed = false;
        for (const std::string& s : seen) listed = listed || SameKey(key, s.c_str());
        if (listed) continue;  // only its first line counts
        seen.push_back(key);
        const char* nearest = nullptr;
        bool is_known = false;
        for (const KnownSetting& k : kKnown) {
          if (std::strcmp(k.section, section) != 0) continue;
          if (SameKey(key, k.key)) is_known = true;
          if (nearest == nullptr && EditDistance(key, k.key) <= 2) nearest = k.key;
        }
        if (is_known) continue;
        SettingsProblem p;
        p.kind = SettingsProblemKind::kUnknownKey;
        p.section = section;
        p.key = key;
        p.line = platform::FindIniLine(text, section, key.c_str());
        p.written = platform::env().ReadProfileString(facts.file, section, key.c_str(), "", 1024);
        p.text = facts.file + ":" + std::to_string(p.line) + ": unknown key " + key + " in [" +
                 section + "], ignored" + (nearest ? std::string(" (meant ") + nearest + "?)" : "");
        facts.problems.push_back(p);
      }
    }
  }

  // Each setting: its value in effect and where it comes from.
  for (const KnownSetting& k : kKnown) {
    SettingFact fact;
    fact.section = k.section;
    fact.key = k.key;
    fact.unit = k.unit;
    const int line = usable && facts.found ? platform::FindIniLine(text, k.section, k.key) : 0;
    const std::string written =
        line > 0 ? platform::env().ReadProfileString(facts.file, k.section, k.key, "", 1024)
                 : std::string(k.fallback);
    if (k.low <= k.high) {
      const std::string where = facts.file + ":" + std::to_string(line);
      bool from_file = false;
      const int64_t number = line > 0
                                 ? JudgeNumber(k, written, where, line, &facts.problems, &from_file)
                                 : detail::ParseInteger(k.fallback);
      fact.value = std::to_string(number);
      fact.line = from_file ? line : 0;
    } else {
      fact.value = written.substr(0, k.buffer - 1);
      fact.line = line;
    }
    facts.settings.push_back(fact);
  }
  // In the order of the file, what concerns the whole file first.
  std::stable_sort(
      facts.problems.begin(), facts.problems.end(),
      [](const SettingsProblem& a, const SettingsProblem& b) { return a.line < b.line; });
  return facts;
}

void ReportSettingsProblems() {
  static std::atomic<bool> reported{false};
  if (reported.load()) return;
  const SettingsFacts facts = ExamineSettings();
  if (facts.file.empty()) return;
  for (const SettingsProblem& p : facts.problems) {
    if (p.kind == SettingsProblemKind::kUntrusted) return;
  }
  if (reported.exchange(true)) return;
  const char* file = facts.file.c_str();
  for (const SettingsProblem& p : facts.problems) {
    // As the lines have always read: the value cut to 63 bytes.
    const std::string value = p.written.substr(0, 63);
    const bool out_of_range = p.number < p.low || p.number > p.high;
    switch (p.kind) {
      case SettingsProblemKind::kUnknownKey:
        WriteLogBufferToFile("Unknown key in the settings file %s: [%s] %s.\n", file,
                             p.section.c_str(), p.key.c_str());
        break;
      case SettingsProblemKind::kOutOfRange:
      case SettingsProblemKind::kNotANumber:
        if (out_of_range) {
          WriteLogBufferToFile(
              "Value out of range in the settings file %s: [%s] %s=%s (%lld to %lld); the "
              "default applies.\n",
              file, p.section.c_str(), p.key.c_str(), value.c_str(), static_cast<long long>(p.low),
              static_cast<long long>(p.high));
        } else {
          WriteLogBufferToFile(
              "Value not a whole number in the settings file %s: [%s] %s=%s; %lld applies.\n", file,
              p.section.c_str(), p.key.c_str(), value.c_str(), static_cast<long long>(p.number));
        }
        break;
      case SettingsProblemKind::kUnreadable:
        WriteLogBufferToFile("%s.\n", p.text.c_str());
        break;
      case SettingsProblemKind::kVariableIgnored:  // logged as the path is formed
      case SettingsProblemKind::kUntrusted:        // logged by the refusal
        break;
    }
  }
}

}  // namespace stow
