// The stowmaster program's commands as one table: each command's name,
// summary, arguments, options with the kind of value they take, long help
// and handler. Parsing, the help texts, the bash completion script and the
// dispatch all read it, so that they cannot disagree.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace stow_program {

// What an option takes after it (as "--name VALUE" or "--name=VALUE").
enum class ValueKind {
  kNone,     // a switch
  kCount,    // a whole number, 0 up to the option's maximum
  kAge,      // a number with a unit s, m, h, d or w; bare: seconds
  kFile,     // a file name
  kDir,      // a folder name
  kChoice,   // one of the words of the option's value name, "a|b|c"
};

struct OptionSpec {
  const char* name;        // "--limit"
  ValueKind kind;
  const char* value_name;  // "N", "DIR", "size|age|path"; null for a switch
  const char* help;        // one line or two, wrapped by the caller
  long long max;           // kCount only
};

// What a command takes besides its options.
enum class ArgKind {
  kNone,
  kFiles,         // one file or more
  kOptionalFile,  // at most one file
  kDirs,          // one folder or more
  kCommand,       // at most one command name
  kShell,         // one shell name: "bash"
};

struct Invocation;
struct Session;
using Handler = int (*)(const Invocation& call, Session& session);

struct CommandSpec {
  const char* name;
  const char* synopsis;  // what follows the name in the usage line
  ArgKind args;
  const char* summary;   // one line, for the list of commands
  std::vector<OptionSpec> options;
  bool json;             // takes --json
  bool needs_library;    // help and completion do not load it
  Handler handler;
  const char* help;      // paragraphs, each line ending in "\n"
};

// A parsed command line.
struct Invocation {
  const CommandSpec* command = nullptr;  // null: none given
  std::string library;
  std::string settings;  // --settings: the settings file the user names
  bool json = false;
  bool help = false;
  bool version = false;
  // The options given, by name ("--limit"), each with its text and, for a
  // count or an age, its number.
  struct Value {
    std::string text;
    long long number = 0;
  };
  std::map<std::string, Value> options;
  std::vector<std::string> args;

  bool Has(const char* name) const { return options.count(name) != 0; }
  long long Number(const char* name, long long fallback) const {
    auto it = options.find(name);
    return it == options.end() ? fallback : it->second.number;
  }
  std::string Text(const char* name) const {
    auto it = options.find(name);
    return it == options.end() ? std::string() : it->second.text;
  }
};

// The options every command takes.
const std::vector<OptionSpec>& GlobalOptions();

// Parses argv[1..] against `table`. False with `error` set (a message of
// one line, without the program's name) when the line is bad usage.
bool ParseCommandLine(int argc, char** argv, const std::vector<CommandSpec>& table,
                      Invocation* call, std::string* error);

// The command of the table named `name`, or null.
const CommandSpec* FindCommand(const std::vector<CommandSpec>& table, const std::string& name);

// The short usage error: "stowmaster: WHY; see stowmaster [CMD] --help".
void PrintUsageError(std::FILE* out, const CommandSpec* command, const std::string& why);

void PrintTopHelp(std::FILE* out, const std::vector<CommandSpec>& table);
void PrintCommandHelp(std::FILE* out, const CommandSpec& command);

// A bash completion script for the commands of `table`.
std::string BashCompletion(const std::vector<CommandSpec>& table);

}  // namespace stow_program
