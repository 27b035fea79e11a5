// stowmaster: watches and operates the cache of a Stowmaster library from a
// shell, on Linux and on Windows. It loads the library at run time (the one
// beside the program unless told otherwise), so the library's own settings
// file (beside the library) decides which cache it works on, and the
// library's log records what it did.
//
//   status, list, check  read the index without changing it
//   check --repair       repairs a damaged index
//   add                  registers files, as a client program does
//   shrink, empty        delete files: one eviction pass, or everything
//   dump                 the text picture of the index
//
// Exit codes: 0 done, 1 the library or the cache could not be used, 2 bad
// usage, 3 some entries could not be deleted, 4 the check or the list found
// damage.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "dynamic_library.h"
#include "program_platform.h"

namespace {

using Library = stow_tools::StowmasterLibrary;

constexpr int kExitOk = 0;
constexpr int kExitUnusable = 1;  // the library, its settings or the cache cannot be used
constexpr int kExitUsage = 2;
constexpr int kExitKept = 3;     // some entries could not be deleted
constexpr int kExitDamaged = 4;  // the check or the list found damage

// The program's own standard output: what else in the process writes to the
// standard output (the library's log echo) goes to the standard error.
std::FILE* g_out = stdout;

void PrintHelp(std::FILE* out) {
  std::fputs(
      "Usage: stowmaster [--library FILE] [--json] COMMAND [ARGUMENTS]\n"
      "       stowmaster [--library FILE] --version\n"
      "\n"
      "Commands:\n"
      "  status              How full the cache is: bytes in use against the limit and\n"
      "                      its low and high marks, entries, oldest and newest, what\n"
      "                      an eviction pass would delete now, the settings and log\n"
      "                      files in effect. Changes nothing.\n"
      "  list [--limit N]    The registered files, most recently registered first:\n"
      "                      size, age, own minimum age, whether a pass may delete\n"
      "                      it now. Changes nothing.\n"
      "  check [--repair]    Checks the index's lists and totals. With --repair, a\n"
      "                      damaged index is repaired (an index without its mark is\n"
      "                      made anew, empty).\n"
      "  add FILE... [--delay SECONDS]\n"
      "                      Registers files, each kept at least SECONDS (default 0)\n"
      "                      beyond the configured minimum age.\n"
      "  shrink              Runs one eviction pass now: above the high mark, deletes\n"
      "                      the least recently registered files that are old enough\n"
      "                      until the low mark is passed.\n"
      "  dump [FILE]         Writes the text picture of the index (as Index.Dmp holds\n"
      "                      it) to FILE, or to standard output.\n"
      "  empty               Deletes every registered file, whatever its size, age\n"
      "                      and delay. Files in use stay registered.\n"
      "\n"
      "The cache is the one named by TESSARON.INI beside the library; what the\n"
      "commands do is written to the library's log.\n"
      "\n"
      "Options:\n"
      "  --library FILE  Load the library from FILE instead of the installed one:\n"
      "                  the one beside this program, else the one in the library\n"
      "                  folder of this program's installation, else the system's.\n"
      "  --json          Output as JSON (status, list and check).\n"
      "  --version       Show the version of this program and of the library, and\n"
      "                  the library's file.\n"
      "  -h, --help      Show this help.\n"
      "\n"
      "Exit status:\n"
      "  0  done\n"
      "  1  the library, its settings or the cache could not be used (a failed\n"
      "     initialisation included, an index that is not a regular file or\n"
      "     cannot be read, a cache folder that cannot be made), or a file could\n"
      "     not be registered\n"
      "  2  bad usage\n"
      "  3  done, but some entries could not be deleted (shrink, empty)\n"
      "  4  check found the index damaged (with --repair: and repaired it), or\n"
      "     list met damage in the list (the entries before it are printed)\n",
      out);
}

// The library this program loads when it is not told which: the first of
// the installed places that holds it, else the bare name, which the system's
// loader looks up on its own paths.
std::string InstalledLibrary() {
  const std::string dir = stow_program::ProgramDir();
  if (!dir.empty()) {
    for (const std::string& candidate : stow_program::LibraryCandidates(dir)) {
      if (stow_program::Readable(candidate)) return candidate;
    }
  }
  return stow_program::kLibraryName;
}

std::string LastErrorText(const Library& lib) {
  char text[1024];
  lib.LastError(text, sizeof(text));
  return text;
}

// ------------------------------------------------------------- formats ---

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

std::string HumanSize(int64_t bytes) {
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024 && bytes > -1024) return Format("%lld B", static_cast<long long>(bytes));
  double value = static_cast<double>(bytes);
  int unit = -1;
  while ((value >= 1024.0 || value <= -1024.0) && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  return Format("%.1f %s", value, units[unit]);
}

std::string HumanDuration(int64_t seconds) {
  if (seconds < 0) return "in the future";
  if (seconds < 60) return Format("%lld s", static_cast<long long>(seconds));
  const long long m = seconds / 60, h = m / 60, d = h / 24;
  if (h == 0) return Format("%lld min", m);
  if (d == 0) return m % 60 == 0 ? Format("%lld h", h) : Format("%lld h %lld min", h, m % 60);
  return h % 24 == 0 ? Format("%lld d", d) : Format("%lld d %lld h", d, h % 24);
}

std::string LocalTimeText(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  const std::tm* tm = std::localtime(&t);
  if (tm == nullptr) return "?";
  char buffer[32];
  std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", tm);
  return buffer;
}

// A one-line picture of the bytes in use against the low (L) and high (H)
// marks: '#' up to the bytes in use, '.' beyond.
std::string UsageBar(int64_t used, int64_t low, int64_t high) {
  const int width = 40;
  double scale = static_cast<double>(high) * 1.25;
  if (static_cast<double>(used) > scale) scale = static_cast<double>(used);
  if (scale <= 0) scale = 1;
  auto column = [&](int64_t bytes) {
    int c = static_cast<int>(static_cast<double>(bytes) / scale * width);
    return c < 0 ? 0 : (c >= width ? width - 1 : c);
  };
  const int filled = static_cast<int>(static_cast<double>(used) / scale * width + 0.5);
  std::string bar(width, '.');
  for (int i = 0; i < filled && i < width; ++i) bar[i] = '#';
  bar[column(low)] = 'L';
  bar[column(high)] = 'H';
  return "[" + bar + "]";
}

// `text` with every byte that does not belong to a well-formed UTF-8
// sequence (a stray or missing continuation byte, an overlong form, a
// surrogate, beyond U+10FFFF) replaced by U+FFFD; true when there was none.
bool WellFormedUtf8(const std::string& text, std::string* out) {
  bool well_formed = true;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    bool whole = length > 0 && i + length <= text.size();
    for (size_t k = 1; whole && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      whole = next >= (k == 1 ? low : 0x80) && next <= (k == 1 ? high : 0xBF);
    }
    if (whole) {
      out->append(text, i, length);
      i += length;
    } else {
      *out += "\xEF\xBF\xBD";
      well_formed = false;
      ++i;
    }
  }
  return well_formed;
}

// A JSON string of well-formed UTF-8 `text`.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += Format("\\u%04x", static_cast<unsigned char>(c));
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// The member `"name": text` of a JSON object, for text the library gives (a
// path, a folder of the settings, an error text: anyone may write the index
// and the settings), converted from the system's text to UTF-8. Text with
// no exact UTF-8 form shows with U+FFFD in place of what does not convert,
// and a second member `"name_bytes"` after it holds its bytes as the library
// gave them, in hexadecimal, so that it can be had back exactly.
std::string JsonMember(const char* name, const char* text) {
  std::string converted;
  bool exact = stow_program::SystemTextToUtf8(text, &converted);
  std::string utf8;
  exact = WellFormedUtf8(converted, &utf8) && exact;
  std::string out = JsonString(name) + ": " + JsonString(utf8);
  if (!exact) {
    out += ", " + JsonString(std::string(name) + "_bytes") + ": \"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
      out += Format("%02x", *p);
    }
    out += "\"";
  }
  return out;
}

const char* JsonBool(int32_t value) { return value != 0 ? "true" : "false"; }

// A path from the index as a terminal may show it: control characters
// (anyone may write the index) become '?'.
std::string Printable(const char* text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

// ------------------------------------------------------------ commands ---

struct Options {
  std::string library;
  std::string command;
  std::vector<std::string> args;
  bool json = false;
  bool repair = false;
  long long limit = 0;
  long long delay = 0;
};

int Fail(const Library& lib, const char* what) {
  std::fprintf(stderr, "stowmaster: %s: %s\n", what, LastErrorText(lib).c_str());
  return kExitUnusable;
}

int Status(const Library& lib, const Options& o, const StowmasterSettings& s) {
  StowmasterStatus st;
  std::memset(&st, 0, sizeof(st));
  st.size = sizeof(st);
  if (lib.GetStatus(&st) != STOWMASTER_OK) return Fail(lib, "cannot read the index");
  if (o.json) {
    std::fprintf(
        g_out,
        "{%s, \"settings_found\": %s, %s, %s, "
        "%s, \"log_writable\": %s, \"limit_bytes\": %lld, \"precision\": %d, "
        "\"high_mark_bytes\": %lld, \"low_mark_bytes\": %lld, \"min_age_seconds\": %lld, "
        "\"index_present\": %s, \"index_formatted\": %s, \"lists_consistent\": %s, "
        "\"entries\": %d, \"capacity\": %d, \"bytes_in_use\": %lld, "
        "\"oldest_registration\": %lld, \"newest_registration\": %lld, "
        "\"evictable_files\": %d, \"evictable_bytes\": %lld, %s, "
        "\"next_registered\": %lld, \"refused_files\": %d, \"refused_bytes\": %lld, "
        "\"now\": %lld}\n",
        JsonMember("settings_file", s.settings_file).c_str(), JsonBool(s.settings_found),
        JsonMember("cache_dir", s.cache_dir).c_str(),
        JsonMember("index_path", s.index_path).c_str(), JsonMember("log_file", s.log_file).c_str(),
        JsonBool(s.log_writable), static_cast<long long>(s.limit_bytes), s.precision,
        static_cast<long long>(s.high_mark_bytes), static_cast<long long>(s.low_mark_bytes),
        static_cast<long long>(s.min_age_seconds), JsonBool(st.index_present),
        JsonBool(st.index_formatted), JsonBool(st.lists_consistent), st.entries, st.capacity,
        static_cast<long long>(st.bytes_in_use), static_cast<long long>(st.oldest_registration),
        static_cast<long long>(st.newest_registration), st.evictable_files,
        static_cast<long long>(st.evictable_bytes), JsonMember("next_to_go", st.next_path).c_str(),
        static_cast<long long>(st.next_registered), st.refused_files,
        static_cast<long long>(st.refused_bytes), static_cast<long long>(st.now));
    return kExitOk;
  }
  std::fprintf(g_out, "Settings     %s%s\n", s.settings_file,
               s.settings_found ? "" : " (not found: the defaults apply)");
  std::fprintf(g_out, "Log          %s%s\n", s.log_file,
               s.log_writable ? "" : " (not writable by this user: its lines are lost)");
  std::fprintf(g_out, "Cache        %s\n", s.cache_dir);
  if (!st.index_present) {
    std::fprintf(g_out, "Index        %s (not made yet: made at the first use)\n", s.index_path);
  } else if (!st.index_formatted) {
    std::fprintf(g_out, "Index        %s (not an index: made anew at the next use)\n",
                 s.index_path);
  } else {
    std::fprintf(g_out, "Index        %s, %d of %d entries\n", s.index_path, st.entries,
                 st.capacity);
  }
  std::fprintf(g_out, "Limit        %s; low mark %s, high mark %s; minimum age %s\n",
               HumanSize(s.limit_bytes).c_str(), HumanSize(s.low_mark_bytes).c_str(),
               HumanSize(s.high_mark_bytes).c_str(), HumanDuration(s.min_age_seconds).c_str());
  const double percent = s.limit_bytes > 0 ? 100.0 * static_cast<double>(st.bytes_in_use) /
                                                 static_cast<double>(s.limit_bytes)
                                           : 0.0;
  std::fprintf(g_out, "In use       %s (%.0f %% of the limit)\n",
               HumanSize(st.bytes_in_use).c_str(), percent);
  std::fprintf(g_out, "             %s\n",
               UsageBar(st.bytes_in_use, s.low_mark_bytes, s.high_mark_bytes).c_str());
  if (st.entries > 0) {
    std::fprintf(g_out, "Oldest       %s ago (%s)\n",
                 HumanDuration(st.now - st.oldest_registration).c_str(),
                 LocalTimeText(st.oldest_registration).c_str());
    std::fprintf(g_out, "Newest       %s ago (%s)\n",
                 HumanDuration(st.now - st.newest_registration).c_str(),
                 LocalTimeText(st.newest_registration).c_str());
  }
  // An older library fills less of the struct: it tells nothing of this.
  const bool knows_next = st.size >= offsetof(StowmasterStatus, next_registered) + 8;
  if (knows_next && st.next_path[0] != '\0') {
    std::fprintf(g_out, "Next to go   %s (%s old)\n", Printable(st.next_path).c_str(),
                 HumanDuration(st.now - st.next_registered).c_str());
  } else if (knows_next && st.entries > 0) {
    std::fprintf(g_out, "Next to go   none: no file is old enough yet\n");
  }
  if (st.bytes_in_use <= s.high_mark_bytes) {
    std::fprintf(g_out, "Next pass    deletes nothing: below the high mark\n");
  } else {
    std::fprintf(g_out, "Next pass    would delete %d files (%s)\n", st.evictable_files,
                 HumanSize(st.evictable_bytes).c_str());
  }
  if (st.refused_files > 0) {
    std::fprintf(g_out, "Refused      %d files (%s): not tried again until their back-off ends\n",
                 st.refused_files, HumanSize(st.refused_bytes).c_str());
  }
  if (st.index_present && st.index_formatted) {
    std::fprintf(
        g_out, "Lists        %s\n",
        st.lists_consistent ? "consistent" : "NOT consistent: run `stowmaster check` for details");
  }
  return kExitOk;
}

struct ListState {
  bool json = false;
  int64_t now = 0;
  int count = 0;
};

int32_t STOWMASTER_CALL PrintEntry(const StowmasterEntry* e, void* context) {
  ListState& state = *static_cast<ListState*>(context);
  if (state.json) {
    std::fprintf(g_out,
                 "%s\n    {%s, \"size\": %lld, \"registered\": %lld, \"age_seconds\": %lld, "
                 "\"delay\": %lld, \"evictable\": %s, \"block\": %d}",
                 state.count == 0 ? "" : ",", JsonMember("path", e->path).c_str(),
                 static_cast<long long>(e->file_size), static_cast<long long>(e->registered),
                 static_cast<long long>(state.now - e->registered),
                 static_cast<long long>(e->delay), JsonBool(e->evictable), e->block);
  } else {
    std::fprintf(g_out, "%10s  %-14s  %-10s  %-3s  %s\n", HumanSize(e->file_size).c_str(),
                 HumanDuration(state.now - e->registered).c_str(),
                 e->delay > 0 ? HumanDuration(e->delay).c_str() : "-", e->evictable ? "yes" : "no",
                 Printable(e->path).c_str());
  }
  ++state.count;
  return 1;
}

int List(const Library& lib, const Options& o) {
  ListState state;
  state.json = o.json;
  state.now = static_cast<int64_t>(std::time(nullptr));
  if (o.json) {
    std::fprintf(g_out, "{\"entries\": [");
  } else {
    std::fprintf(g_out, "%10s  %-14s  %-10s  %-3s  %s\n", "SIZE", "AGE", "OWN DELAY", "OLD",
                 "PATH");
  }
  const int32_t rc = lib.ListEntries(static_cast<int32_t>(o.limit), PrintEntry, &state);
  if (o.json) {
    std::fprintf(g_out, "%s], \"complete\": %s}\n", state.count == 0 ? "" : "\n  ",
                 JsonBool(rc == STOWMASTER_OK));
  }
  std::fflush(g_out);
  if (rc == STOWMASTER_CHANGED || rc == STOWMASTER_DAMAGED) {
    std::fprintf(stderr, "stowmaster: the list stopped early: %s\n", LastErrorText(lib).c_str());
    return rc == STOWMASTER_DAMAGED ? kExitDamaged : kExitOk;
  }
  if (rc != STOWMASTER_OK) return Fail(lib, "cannot read the index");
  return kExitOk;
}

int CheckIndex(const Library& lib, const Options& o, const StowmasterSettings& s) {
  StowmasterCheckReport r;
  std::memset(&r, 0, sizeof(r));
  r.size = sizeof(r);
  const int32_t rc = lib.Check(o.repair ? 1 : 0, &r);
  if (rc != STOWMASTER_OK && rc != STOWMASTER_DAMAGED) return Fail(lib, "cannot check the index");
  if (o.json) {
    std::fprintf(
        g_out,
        "{%s, \"index_present\": %s, \"index_formatted\": %s, "
        "\"lists_consistent\": %s, \"sound\": %s, \"interrupted\": %s, \"repaired\": %s, "
        "\"valid_count\": %d, \"valid_bytes\": %lld, \"free_count\": %d, \"header_count\": %d, "
        "\"header_bytes\": %lld, %s}\n",
        JsonMember("index_path", s.index_path).c_str(), JsonBool(r.index_present),
        JsonBool(r.index_formatted), JsonBool(r.lists_consistent), JsonBool(rc == STOWMASTER_OK),
        JsonBool(r.interrupted), JsonBool(r.repaired), r.valid_count,
        static_cast<long long>(r.valid_bytes), r.free_count, r.header_count,
        static_cast<long long>(r.header_bytes), JsonMember("problem", r.problem).c_str());
  } else if (!r.index_present) {
    std::fprintf(g_out, "%s: no index yet, nothing to check\n", s.index_path);
  } else if (rc == STOWMASTER_OK) {
    std::fprintf(g_out, "%s: sound: %d entries (%s), %d free blocks%s\n", s.index_path,
                 r.valid_count, HumanSize(r.valid_bytes).c_str(), r.free_count,
                 r.interrupted ? "; a process died while it held the lock, without harm" : "");
  } else {
    std::fprintf(g_out, "%s: DAMAGED: %s\n", s.index_path, r.problem);
    if (o.repair) {
      std::fprintf(g_out, "%s\n", r.repaired ? "repaired" : "the repair did not make it sound");
    } else {
      std::fprintf(g_out, "run `stowmaster check --repair` to repair it\n");
    }
  }
  return rc == STOWMASTER_OK ? kExitOk : kExitDamaged;
}

int Add(const Library& lib, const Options& o) {
  if (lib.Initialize(0) == 0) {
    lib.UnInitialize();
    return Fail(lib, "the library could not be initialised");
  }
  int failed = 0;
  for (const std::string& file : o.args) {
    if (lib.AddFileA(file.c_str(), static_cast<uint32_t>(o.delay)) == 1) {
      std::fprintf(g_out, "registered %s\n", file.c_str());
    } else {
      std::fprintf(stderr, "stowmaster: not registered: %s: %s\n", file.c_str(),
                   LastErrorText(lib).c_str());
      ++failed;
    }
  }
  lib.UnInitialize();
  return failed == 0 ? kExitOk : kExitUnusable;
}

struct ProgressState {
  bool shown = false;
};

void STOWMASTER_CALL ShowProgress(const StowmasterPassResult* so_far, void* context) {
  static_cast<ProgressState*>(context)->shown = true;
  std::fprintf(stderr, "\rdeleted %d files (%s), kept %d; %d remain   ", so_far->deleted_files,
               HumanSize(so_far->deleted_bytes).c_str(), so_far->kept_files,
               so_far->remaining_files);
  std::fflush(stderr);
}

int Delete(const Library& lib, const Options& o, const StowmasterSettings& s) {
  StowmasterPassResult r;
  std::memset(&r, 0, sizeof(r));
  r.size = sizeof(r);
  ProgressState progress;
  const bool empty = o.command == "empty";
  StowmasterProgressFn show = stow_program::StderrIsTerminal() ? ShowProgress : nullptr;
  const int32_t rc = empty ? lib.Empty(&r, show, &progress) : lib.Shrink(&r, show, &progress);
  if (progress.shown) std::fputs("\n", stderr);
  if (rc != STOWMASTER_OK && rc != STOWMASTER_INCOMPLETE) {
    return Fail(lib, empty ? "cannot empty the cache" : "cannot run a pass");
  }
  std::fprintf(g_out, "deleted %d files (%s); %d files (%s) remain\n", r.deleted_files,
               HumanSize(r.deleted_bytes).c_str(), r.remaining_files,
               HumanSize(r.remaining_bytes).c_str());
  if (r.kept_files > 0) {
    std::fprintf(g_out, "could not delete %d files (%s): see %s\n", r.kept_files,
                 HumanSize(r.kept_bytes).c_str(), s.log_file);
    return kExitKept;
  }
  return kExitOk;
}

int DumpIndex(const Library& lib, const Options& o) {
  if (!o.args.empty()) {
    if (lib.Dump(o.args[0].c_str(), nullptr, 0, nullptr) != STOWMASTER_OK) {
      return Fail(lib, "cannot write the dump");
    }
    return kExitOk;
  }
  std::vector<char> buffer(1 << 20);
  for (int attempt = 0; attempt < 4; ++attempt) {
    uint64_t length = 0;
    const int32_t rc = lib.Dump(nullptr, buffer.data(), buffer.size(), &length);
    if (rc == STOWMASTER_OK) {
      std::fwrite(buffer.data(), 1, static_cast<size_t>(length), g_out);
      return kExitOk;
    }
    if (rc != STOWMASTER_TOO_SMALL) return Fail(lib, "cannot dump the index");
    buffer.resize(static_cast<size_t>(length) + (1 << 16));  // it may grow meanwhile
  }
  return Fail(lib, "cannot dump the index");
}

// A whole non-negative number up to `max`.
bool ParseCount(const char* text, long long max, long long* out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "stowmaster: %s\n\n", why.c_str());
  PrintHelp(stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  g_out = stow_program::TakeStandardOutput();
  Options o;
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "-h" || arg == "--help") {
      PrintHelp(g_out);
      return kExitOk;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "--repair") {
      o.repair = true;
    } else if (arg == "--library") {
      if (value == nullptr) return Usage("--library needs a file");
      o.library = argv[++i];
    } else if (arg == "--limit") {
      if (!ParseCount(value, 0x7FFFFFFF, &o.limit)) return Usage("--limit needs a count");
      ++i;
    } else if (arg == "--delay") {
      if (!ParseCount(value, 0xFFFFFFFFLL, &o.delay)) return Usage("--delay needs seconds");
      ++i;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option '" + arg + "'");
    } else if (o.command.empty()) {
      o.command = arg;
    } else {
      o.args.push_back(arg);
    }
  }
  if (version && !o.command.empty())
    return Usage("--version takes no command ('" + o.command + "')");
  if (!version) {
    static const char* const kCommands[] = {"status", "list", "check", "add",
                                            "shrink", "dump", "empty"};
    bool known = false;
    for (const char* c : kCommands) known = known || o.command == c;
    if (o.command.empty()) return Usage("no command given");
    if (!known) return Usage("unknown command '" + o.command + "'");
    if (o.json && o.command != "status" && o.command != "list" && o.command != "check") {
      return Usage("--json is for status, list and check");
    }
    if (o.repair && o.command != "check") return Usage("--repair is for check");
    if (o.limit != 0 && o.command != "list") return Usage("--limit is for list");
    if (o.delay != 0 && o.command != "add") return Usage("--delay is for add");
    if (o.command == "add" && o.args.empty()) return Usage("add needs at least one file");
    if (o.command == "dump" && o.args.size() > 1) return Usage("dump takes at most one file");
    if (o.command != "add" && o.command != "dump" && !o.args.empty()) {
      return Usage("unexpected argument '" + o.args[0] + "'");
    }
  }

  // The program's own version comes first: it is known even when the
  // library cannot be loaded.
  if (version) std::fprintf(g_out, "stowmaster %s\n", STOWMASTER_VERSION_STRING);
  if (o.library.empty()) o.library = InstalledLibrary();
  std::string error;
  Library lib;
  const bool bound = lib.Load(o.library, &error);
  if (!lib.loaded()) {
    std::fprintf(stderr, "stowmaster: cannot load the library: %s\n", error.c_str());
    return kExitUnusable;
  }
  if (version) {
    if (lib.Version == nullptr) {
      std::fprintf(stderr, "stowmaster: %s has no StowmasterVersion entry point\n",
                   o.library.c_str());
      return kExitUnusable;
    }
    std::fprintf(g_out, "library %s (%s)\n", lib.Version(),
                 stow_program::FileOfAddress(reinterpret_cast<void*>(lib.Version)).c_str());
    return kExitOk;
  }
  if (!bound) {
    std::fprintf(stderr, "stowmaster: %s has no %s entry point (an older library?)\n",
                 o.library.c_str(), lib.missing().c_str());
    return kExitUnusable;
  }

  StowmasterSettings settings;
  std::memset(&settings, 0, sizeof(settings));
  settings.size = sizeof(settings);
  if (lib.GetSettings(&settings) != STOWMASTER_OK) return Fail(lib, "cannot read the settings");
  // With the log's echo off by default nothing else would show that the
  // library's messages are being lost.
  if (!settings.log_writable) {
    std::fprintf(stderr, "stowmaster: warning: the log file %s cannot be written\n",
                 settings.log_file);
  }

  if (o.command == "status") return Status(lib, o, settings);
  if (o.command == "list") return List(lib, o);
  if (o.command == "check") return CheckIndex(lib, o, settings);
  if (o.command == "add") return Add(lib, o);
  if (o.command == "dump") return DumpIndex(lib, o);
  return Delete(lib, o, settings);  // shrink, empty
}
