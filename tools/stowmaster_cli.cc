// stowmaster: watches and operates the cache of a Stowmaster library from a
// shell, on Linux and on Windows. It loads the library at run time (the one
// beside the program unless told otherwise), so the library's own settings
// file (beside the library) decides which cache it works on, and the
// library's log records what it did.
//
// The commands are one table (kCommands below): the parser, the help texts,
// the bash completion script and the dispatch all read it. Help and the
// completion script need no library.
//
// Exit codes: 0 done, 1 the library or the cache could not be used, 2 bad
// usage, 3 some entries could not be deleted, 4 the check or the list found
// damage, 5 the index and the disk disagree.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_table.h"
#include "commands.h"
#include "json_writer.h"
#include "program_platform.h"

namespace stow_program {
namespace {

int Help(const Invocation& call, Session& session) {
  if (call.args.empty()) {
    PrintTopHelp(session.out, *session.table);
  } else {
    PrintCommandHelp(session.out, *FindCommand(*session.table, call.args[0]));
  }
  return kExitOk;
}

// Keeps each settings item the library reports.
int32_t STOWMASTER_CALL TakeSettingItem(const StowmasterSettingItem* item, void* context) {
  StowmasterSettingItem copy;
  std::memset(&copy, 0, sizeof(copy));
  std::memcpy(&copy, item, item->size < sizeof(copy) ? item->size : sizeof(copy));
  try {
    static_cast<std::vector<StowmasterSettingItem>*>(context)->push_back(copy);
  } catch (...) {  // nothing thrown crosses the library's frames
    return 0;
  }
  return 1;
}

int Completion(const Invocation&, Session& session) {
  std::fputs(BashCompletion(*session.table).c_str(), session.out);
  return kExitOk;
}


const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> table = {
      {"status", "", ArgKind::kNone,
       "How full the cache is, what goes next, the settings in effect.",
       {{"--disk", ValueKind::kNone, nullptr,
         "Walk the cache folders too: the files and bytes on disk, and\n"
         "those the index does not list.",
         0}},
       true, true, Status,
       "Shows the settings file and the log file in effect, the cache folder and\n"
       "its index, the bytes in use against the limit with a bar (L the low\n"
       "mark, H the high mark, '>' at the end when the bytes in use go past the\n"
       "bar), the oldest and newest registration, the file that goes next, what\n"
       "a pass run now would delete and the files whose deletion was refused,\n"
       "then the cache's counters as `stowmaster stats` shows them.\n"
       "Changes nothing.\n"},
      {"config", "", ArgKind::kNone,
       "Each setting, its value and where it comes from, and every problem.", {}, true, true,
       Config,
       "Shows the settings file, then each setting the library reads with its\n"
       "value in effect (in the file's unit) and where that comes from: the file\n"
       "and line, or \"default\". Then one line for each problem the library\n"
       "finds in its settings: a key it does not know, a number out of its range\n"
       "or followed by other text (the file has no comments after a value), a\n"
       "file it cannot read or may not use, STOWMASTER_SETTINGS ignored. The\n"
       "library logs the same problems when it is first initialised. `status`\n"
       "ends with the same problem lines. Changes nothing; exits 0 whatever it\n"
       "finds.\n"},
      {"list", "", ArgKind::kNone,
       "The listed files, most recently registered first.",
       {{"--under", ValueKind::kDir, "DIR",
         "Only the files below DIR. The paths are compared as spelt (on\n"
         "Windows without case, '/' as '\\'), at a folder boundary: no\n"
         "link, \"..\" or relative path is resolved, so give DIR as the\n"
         "files were registered.",
         0},
        {"--older-than", ValueKind::kAge, "AGE",
         "Only the files registered at least AGE ago.", 0},
        {"--sort", ValueKind::kChoice, "size|age|path",
         "Sort: size largest first, age oldest first, path in byte order.", 0},
        {"--limit", ValueKind::kCount, "N", "At most N files (after the filters and the sort).",
         0x7FFFFFFF}},
       true, true, List,
       "Shows each listed file: its size, its age, its own minimum age, whether a\n"
       "pass may delete it now, and its path. Without a filter or a sort the\n"
       "walk of the index stops after N files. Changes nothing.\n"
       "\n" "AGE is a whole number with a unit s, m, h, d or w; a bare number is\n"
       "seconds.\n"},
      {"check", "", ArgKind::kNone,
       "Checks the index, or with --files the files on disk.",
       {{"--repair", ValueKind::kNone, nullptr,
         "Repair what the check finds: a damaged index is rebuilt (one\n"
         "without its mark made anew, empty); with --files, entries whose\n"
         "file is missing or not a regular file are dropped and sizes that\n"
         "differ are updated.",
         0},
        {"--files", ValueKind::kNone, nullptr,
         "Compare every listed entry with its file on disk instead, and\n"
         "report each that the disk does not bear out.",
         0}},
       true, true, Check,
       "Without --files, exits 4 when the index is damaged (also when --repair\n"
       "repaired it). With --files, exits 5 when the disk disagrees with an\n"
       "entry (also when --repair repaired it), 4 when the walk met damage.\n"},
      {"add", "FILE...", ArgKind::kFiles, "Registers files, as a client program does.",
       {{"--delay", ValueKind::kAge, "AGE",
         "Keep each file at least AGE (default 0) beyond the configured\n"
         "minimum age: a number with a unit s, m, h, d or w; bare: seconds.",
         0},
        {"--from", ValueKind::kFile, "FILE",
         "Register the paths listed in FILE too, one a line (\"-\": the\n"
         "standard input).",
         0},
        {"-0", ValueKind::kNone, nullptr,
         "The paths of a list are each ended by a NUL instead of a line end\n"
         "(as find -print0 writes them).",
         0},
        {"--quiet", ValueKind::kNone, nullptr,
         "No line per registered file; the failures are still shown.", 0}},
       false, true, Add,
       "Registers (or refreshes) each FILE in the index, then runs an eviction\n"
       "pass as a registration does. A FILE \"-\" reads the paths from the\n"
       "standard input, one a line. However many paths there are, the library\n"
       "is initialised once, and the dump that its shutdown writes is written\n"
       "once. Exits 1 when a file could not be registered.\n"},
      {"adopt", "DIR...", ArgKind::kDirs,
       "Registers the unlisted files below folders.",
       {{"--delay", ValueKind::kAge, "AGE",
         "Keep each adopted file at least AGE (default 0) beyond the\n"
         "configured minimum age: a number with a unit s, m, h, d or w;\n"
         "bare: seconds.",
         0}},
       false, true, Adopt,
       "Registers the regular files below each DIR (subfolders included, links\n"
       "not followed) that the index does not list, oldest modification first,\n"
       "without running an eviction pass. Files are told apart by their\n"
       "identity, not by how their paths are spelt. DIR must lie within the\n"
       "cache folders (CacheDir and FileFolders) and be neither a link nor\n"
       "spelt with an empty, . or .. part, else exit 2. Each file is registered\n"
       "under the cache folder's own spelling and the names below it. Shows a\n"
       "progress line on a terminal, and for each DIR the files found, listed\n"
       "already, adopted and failed. Exits 1 when a file could not be\n"
       "registered.\n"},
      {"shrink", "", ArgKind::kNone, "Runs one eviction pass now.",
       {{"--dry-run", ValueKind::kNone, nullptr,
         "Delete nothing: list in order what the pass would delete, and\n"
         "the bytes it would free (--json too).",
         0},
        {"--older-than", ValueKind::kAge, "AGE",
         "Delete every listed file registered at least AGE ago, whatever\n"
         "the marks (each file's own minimum age still holds). AGE below\n"
         "the configured minimum age is bad usage.",
         0}},
       true, true, Shrink,
       "Above the high mark, deletes the least recently registered files that\n"
       "are old enough until the low mark is passed; below it, nothing. Shows a\n"
       "progress line on a terminal. Exits 3 when some files could not be\n"
       "deleted. --json goes with --dry-run only.\n"
       "\n" "AGE is a whole number with a unit s, m, h, d or w; a bare number is\n"
       "seconds.\n"},
      {"empty", "", ArgKind::kNone, "Deletes every listed file that can be deleted.", {}, false,
       true, Empty,
       "Deletes every listed file, whatever its size, age and delay. Files in\n"
       "use stay listed, and the exit code is then 3.\n"},
      {"dump", "[FILE]", ArgKind::kOptionalFile, "The text picture of the index (Index.Dmp).",
       {}, false, true, Dump,
       "Writes the text picture of the index, as Index.Dmp holds it, to FILE or\n"
       "to the standard output.\n"},
      {"usage", "", ArgKind::kNone, "Bytes and files of the listed entries per folder.",
       {{"--depth", ValueKind::kCount, "N",
         "Group by the first N folder names below the common root\n"
         "instead of by each file's own folder (0: the root alone).",
         64},
        {"--under", ValueKind::kDir, "DIR",
         "Only the files below DIR, compared as spelt, as list does.", 0}},
       true, true, Usage,
       "The root is the deepest folder that holds every listed file (of those\n"
       "below DIR). Each line holds a folder's bytes, files, a bar of its share\n"
       "of the bytes and the share in percent, largest first. By default the\n"
       "folder is each file's own; with --depth N it is the root and the next\n"
       "N folder names of the file's folder (fewer where the file lies higher).\n"
       "The sizes are those the index lists. Changes nothing.\n"},
      {"metrics", "", ArgKind::kNone,
       "The cache's gauges for a metrics text-file collector.",
       {{"--disk", ValueKind::kNone, nullptr,
         "Walk the cache folders too, for stowmaster_unlisted_bytes.", 0},
        {"--output", ValueKind::kFile, "FILE",
         "Replace FILE whole instead of printing: write .FILE.tmp.PID\n"
         "beside it, then rename it over FILE.", 0}},
       false, true, Metrics,
       "Prints, for each gauge, a # HELP line, a # TYPE line and one whole-number\n"
       "sample: stowmaster_limit_bytes, stowmaster_used_bytes,\n"
       "stowmaster_high_mark_bytes, stowmaster_low_mark_bytes, stowmaster_entries,\n"
       "stowmaster_oldest_entry_age_seconds, stowmaster_refused_entries,\n"
       "stowmaster_refused_bytes, and with --disk stowmaster_unlisted_bytes.\n"
       "Then, for each of the cache's counters (see stats), a series of type\n"
       "counter: stowmaster_registrations_new_total,\n"
       "stowmaster_registrations_refreshed_total,\n"
       "stowmaster_registrations_refused_total, stowmaster_full_index_refusals_total,\n"
       "stowmaster_passes_total, stowmaster_pass_deleted_files_total,\n"
       "stowmaster_pass_deleted_bytes_total, stowmaster_emptied_files_total,\n"
       "stowmaster_emptied_bytes_total, stowmaster_deletions_refused_total and\n"
       "stowmaster_repair_dropped_total.\n"
       "Each sample carries the label cache=\"CacheDir\", so that several caches\n"
       "on one host give distinct series.\n"
       "\n"
       "For a text-file collector, run from a timer or cron:\n"
       "  stowmaster metrics --output /var/lib/node_exporter/textfile/stowmaster.prom\n"
       "The collector never sees a partial file. When the metrics cannot be\n"
       "written, FILE stays as it was, the temporary file is removed and the exit\n"
       "code is 1.\n"},
      {"stats", "", ArgKind::kNone, "The cache's counters: registrations, passes, deletions.",
       {{"--zero", ValueKind::kNone, nullptr,
         "Set every counter to zero first (under the index lock), and note\n"
         "when.",
         0}},
       true, true, Stats,
       "Shows the counters kept beside the index since it was made: the\n"
       "registrations (new, of a file already listed, turned down, and of those\n"
       "the ones turned down for a full index), the eviction passes that looked\n"
       "at the list, the files and bytes they deleted, the files and bytes\n"
       "deleted by emptying, the deletions that were refused and the entries\n"
       "that repairs dropped; and since when they count, and when they were last\n"
       "zeroed. They are kept in the lookup file (Index.Lkp): a rebuild of its\n"
       "table keeps them; a lookup file made afresh starts them again at zero.\n"
       "Processes of an earlier release sharing the cache leave their work\n"
       "uncounted. Changes nothing, but with --zero.\n"},
      {"help", "[COMMAND]", ArgKind::kCommand, "The help of the program, or of one command.",
       {}, false, false, Help, "Same as stowmaster --help, or stowmaster COMMAND --help.\n"},
      {"completion", "bash", ArgKind::kShell, "Prints the bash completion script.", {}, false,
       false, Completion,
       "Prints a completion script for bash, made from the program's own table\n"
       "of commands and options. Source it, or install it as\n"
       "share/bash-completion/completions/stowmaster. Loads no library.\n"},
  };
  return table;
}

// The library this program loads when it is not told which: the first of
// the installed places that holds it, else the bare name, which the system's
// loader looks up on its own paths.
std::string InstalledLibrary() {
  const std::string dir = ProgramDir();
  if (!dir.empty()) {
    for (const std::string& candidate : LibraryCandidates(dir)) {
      if (Readable(candidate)) return candidate;
    }
  }
  return kLibraryName;
}

// Rules across options that the table cannot say.
std::string CombinationError(const Invocation& call) {
  const std::string name = call.command != nullptr ? call.command->name : "";
  if (name == "shrink" && call.json && !call.Has("--dry-run")) return "--json goes with --dry-run";
  return std::string();
}

}  // namespace
}  // namespace stow_program

int main(int argc, char** argv) {
  using namespace stow_program;
  Session session;
  session.out = TakeStandardOutput();
  session.table = &Commands();
  Invocation call;
  std::string error;
  if (!ParseCommandLine(argc, argv, Commands(), &call, &error) ||
      !(error = CombinationError(call)).empty()) {
    PrintUsageError(stderr, call.command, error);
    return kExitUsage;
  }
  if (call.help) {
    if (call.command == nullptr) {
      PrintTopHelp(session.out, Commands());
    } else {
      PrintCommandHelp(session.out, *call.command);
    }
    return kExitOk;
  }
  if (call.command != nullptr && !call.command->needs_library) {
    return call.command->handler(call, session);
  }

  // The program's own version comes first: it is known even when the
  // library cannot be loaded.
  // With --json both versions go into one object, once the library is
  // loaded.
  if (call.version && !call.json) {
    std::fprintf(session.out, "stowmaster %s\n", STOWMASTER_VERSION_STRING);
  }
  if (call.library.empty()) call.library = InstalledLibrary();
  Library lib;
  const bool bound = lib.Load(call.library, &error);
  if (!lib.loaded()) {
    std::fprintf(stderr, "stowmaster: cannot load the library: %s\n", error.c_str());
    return kExitUnusable;
  }
  if (call.version) {
    if (lib.Version == nullptr) {
      std::fprintf(stderr, "stowmaster: %s has no StowmasterVersion entry point\n",
                   call.library.c_str());
      return kExitUnusable;
    }
    const std::string file = FileOfAddress(reinterpret_cast<void*>(lib.Version));
    if (call.json) {
      std::fprintf(session.out, "%s\n",
                   JsonDocument()
                       .Text("program_version", STOWMASTER_VERSION_STRING)
                       .Text("library_version", lib.Version())
                       .Text("library_file", file.c_str())
                       .str()
                       .c_str());
    } else {
      std::fprintf(session.out, "library %s (%s)\n", lib.Version(), file.c_str());
    }
    return kExitOk;
  }
  if (!bound) {
    std::fprintf(stderr, "stowmaster: %s has no %s entry point (an older library?)\n",
                 call.library.c_str(), lib.missing().c_str());
    return kExitUnusable;
  }
  session.lib = &lib;
  // The settings file the user named, before anything reads the settings.
  if (!call.settings.empty() && lib.UseSettingsFile(call.settings.c_str()) != STOWMASTER_OK) {
    return session.Fail(("cannot use the settings file " + call.settings).c_str());
  }
  if (lib.ListSettings(&TakeSettingItem, &session.setting_items) != STOWMASTER_OK) {
    return session.Fail("cannot read the settings");
  }
  const bool is_config = std::strcmp(call.command->name, "config") == 0;
  // Run privileged, the library ignores the variable and would work on
  // another cache than the one it names: only `config`, which shows that,
  // goes on.
  for (const StowmasterSettingItem& item : session.setting_items) {
    if (item.kind == STOWMASTER_PROBLEM_VARIABLE_IGNORED && !is_config) {
      std::fprintf(stderr,
                   "stowmaster: STOWMASTER_SETTINGS is ignored when run as root, set-id or with a "
                   "capability, so this would work on another cache than the one it names; give "
                   "the file as --settings %s instead (only its owner, root or you may change it "
                   "and its folder)\n",
                   item.value);
      return kExitUnusable;
    }
  }
  std::memset(&session.settings, 0, sizeof(session.settings));
  session.settings.size = sizeof(session.settings);
  session.settings_read = lib.GetSettings(&session.settings) == STOWMASTER_OK;
  // `config` shows why the settings cannot be used rather than failing.
  if (!session.settings_read && !is_config) return session.Fail("cannot read the settings");
  // With the log's echo off by default nothing else would show that the
  // library's messages are being lost.
  if (session.settings_read && !session.settings.log_writable) {
    std::fprintf(stderr, "stowmaster: warning: the log file %s cannot be written\n",
                 session.settings.log_file);
  }
  return call.command->handler(call, session);
}
