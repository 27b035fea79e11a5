#include "command_table.h"

#include "formats.h"

namespace stow_program {

const std::vector<OptionSpec>& GlobalOptions() {
  static const std::vector<OptionSpec> options = {
      {"--library", ValueKind::kFile, "FILE",
       "Load the library from FILE instead of the installed one: the one\n"
       "beside this program, else the one in the library folder of this\n"
       "program's installation, else the system's.",
       0},
      {"--settings", ValueKind::kFile, "FILE",
       "Work on the cache that the settings file FILE names instead of the\n"
       "library's own. Run as root (or set-id, or with a capability), FILE\n"
       "must be changeable by its owner alone, who is root or this user,\n"
       "and so must its folder.",
       0},
      {"--json", ValueKind::kNone, nullptr, "Output as one JSON object (the commands that say so).",
       0},
      {"--version", ValueKind::kNone, nullptr,
       "Show the version of this program and of the library, and the\n"
       "library's file.",
       0},
      {"--help", ValueKind::kNone, nullptr, "Show the help (of the command, after one).", 0},
  };
  return options;
}

const CommandSpec* FindCommand(const std::vector<CommandSpec>& table, const std::string& name) {
  for (const CommandSpec& command : table) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

namespace {

const OptionSpec* FindOption(const std::vector<OptionSpec>& options, const std::string& name) {
  for (const OptionSpec& option : options) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

// The words of a choice's value name, "size|age|path".
std::vector<std::string> Choices(const OptionSpec& option) {
  std::vector<std::string> words;
  const std::string all = option.value_name;
  for (size_t at = 0; at <= all.size();) {
    const size_t bar = all.find('|', at);
    const size_t end = bar == std::string::npos ? all.size() : bar;
    words.push_back(all.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

// Checks and converts the value of `option`; false with `error` set.
bool TakeValue(const OptionSpec& option, const std::string& text, Invocation::Value* value,
               std::string* error) {
  value->text = text;
  const std::string name = option.name;
  switch (option.kind) {
    case ValueKind::kCount:
      if (ParseCount(text, option.max, &value->number)) return true;
      *error = name + " takes a whole number from 0 to " + std::to_string(option.max) +
               ", not '" + text + "'";
      return false;
    case ValueKind::kAge:
      if (ParseAge(text, &value->number)) return true;
      *error = name + " takes an age such as 30d, 12h, 90m or 45s, not '" + text + "'";
      return false;
    case ValueKind::kChoice:
      for (const std::string& word : Choices(option)) {
        if (text == word) return true;
      }
      *error = name + " takes one of " + option.value_name + ", not '" + text + "'";
      return false;
    case ValueKind::kFile:
    case ValueKind::kDir:
      if (!text.empty()) return true;
      *error = name + " takes a non-empty " + option.value_name;
      return false;
    case ValueKind::kNone:
      break;
  }
  return true;
}

// The options line of a usage text: "[--limit N] [--repair]".
std::string OptionsSynopsis(const std::vector<OptionSpec>& options) {
  std::string out;
  for (const OptionSpec& option : options) {
    out += std::string(out.empty() ? "" : " ") + "[" + option.name;
    if (option.kind != ValueKind::kNone) out += std::string(" ") + option.value_name;
    out += "]";
  }
  return out;
}

void PrintOption(std::FILE* out, const OptionSpec& option) {
  std::string left = option.name;
  if (left == "--help") left = "-h, --help";
  if (option.kind != ValueKind::kNone) left += std::string(" ") + option.value_name;
  // The help's words in lines of at most 54 columns from column 25.
  std::vector<std::string> lines(1);
  const std::string help = option.help;
  for (size_t at = 0; at < help.size();) {
    while (at < help.size() && (help[at] == ' ' || help[at] == '\n')) ++at;
    size_t end = at;
    while (end < help.size() && help[end] != ' ' && help[end] != '\n') ++end;
    if (end == at) break;
    const std::string word = help.substr(at, end - at);
    if (!lines.back().empty() && lines.back().size() + 1 + word.size() > 54) lines.emplace_back();
    lines.back() += (lines.back().empty() ? "" : " ") + word;
    at = end;
  }
  const bool wide = left.size() > 22;
  std::fprintf(out, "  %-22s%s", left.c_str(), wide ? "\n" : " ");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::fprintf(out, "%*s%s\n", i == 0 && !wide ? 0 : 25, "", lines[i].c_str());
  }
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, const std::vector<CommandSpec>& table,
                      Invocation* call, std::string* error) {
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
      continue;
    }
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      if (call->command == nullptr) {
        call->command = FindCommand(table, arg);
        if (call->command == nullptr) {
          *error = "unknown command '" + arg + "'";
          return false;
        }
      } else {
        call->args.push_back(arg);
      }
      continue;
    }
    // --name=value or --name value.
    std::string name = arg;
    std::string inline_value;
    const size_t equals = arg.find('=');
    const bool has_inline = arg.compare(0, 2, "--") == 0 && equals != std::string::npos;
    if (has_inline) {
      name = arg.substr(0, equals);
      inline_value = arg.substr(equals + 1);
    }
    if (name == "-h") name = "--help";
    const OptionSpec* option = FindOption(GlobalOptions(), name);
    if (option == nullptr && call->command != nullptr) {
      option = FindOption(call->command->options, name);
    }
    if (option == nullptr) {
      const CommandSpec* owner = nullptr;
      for (const CommandSpec& command : table) {
        if (owner == nullptr && FindOption(command.options, name) != nullptr) owner = &command;
      }
      if (call->command == nullptr && owner != nullptr) {
        *error = name + " is an option of " + owner->name + "; put it after the command";
      } else {
        *error = "unknown option " + name;
      }
      return false;
    }
    Invocation::Value value;
    if (option->kind == ValueKind::kNone) {
      if (has_inline) {
        *error = name + " takes no value";
        return false;
      }
    } else {
      std::string text = inline_value;
      if (!has_inline) {
        if (i + 1 >= argc) {
          *error = name + " needs " + option->value_name;
          return false;
        }
        text = argv[++i];
      }
      if (!TakeValue(*option, text, &value, error)) return false;
    }
    if (name == "--help") {
      call->help = true;
    } else if (name == "--version") {
      call->version = true;
    } else if (name == "--json") {
      call->json = true;
    } else if (name == "--library") {
      call->library = value.text;
    } else if (name == "--settings") {
      call->settings = value.text;
    } else {
      call->options[name] = value;
    }
  }

  const CommandSpec* command = call->command;
  if (call->version) {
    if (command != nullptr) {
      *error = "--version takes no command";
      return false;
    }
    return true;
  }
  if (call->help) return true;
  if (command == nullptr) {
    *error = "no command given";
    return false;
  }
  if (call->json && !command->json) {
    *error = std::string(command->name) + " has no --json output";
    return false;
  }
  const std::vector<std::string>& args = call->args;
  const std::string name = command->name;
  switch (command->args) {
    case ArgKind::kNone:
      if (!args.empty()) {
        *error = "unexpected argument '" + args[0] + "'";
        return false;
      }
      break;
    case ArgKind::kFiles:
    case ArgKind::kDirs:
      // A list of paths read from a file stands for the arguments.
      if (args.empty() && !call->Has("--from")) {
        *error = name + " needs at least one " + (command->args == ArgKind::kFiles ? "FILE" : "DIR");
        return false;
      }
      break;
    case ArgKind::kOptionalFile:
      if (args.size() > 1) {
        *error = name + " takes at most one FILE";
        return false;
      }
      break;
    case ArgKind::kCommand:
      if (args.size() > 1) {
        *error = "unexpected argument '" + args[1] + "'";
        return false;
      }
      if (args.size() == 1 && FindCommand(table, args[0]) == nullptr) {
        *error = "unknown command '" + args[0] + "'";
        return false;
      }
      break;
    case ArgKind::kShell:
      if (args.size() != 1 || args[0] != "bash") {
        *error = name + " takes one shell: bash";
        return false;
      }
      break;
  }
  return true;
}

void PrintUsageError(std::FILE* out, const CommandSpec* command, const std::string& why) {
  std::fprintf(out, "stowmaster: %s; see stowmaster %s%s--help\n", why.c_str(),
               command != nullptr ? command->name : "", command != nullptr ? " " : "");
}

void PrintTopHelp(std::FILE* out, const std::vector<CommandSpec>& table) {
  std::fputs(
      "Usage: stowmaster [--library FILE] [--settings FILE] [--json] COMMAND [OPTIONS]\n"
      "                  [ARGUMENTS]\n"
      "       stowmaster [--library FILE] --version\n"
      "       stowmaster help COMMAND, or stowmaster COMMAND --help: the command's help\n"
      "\n"
      "Commands:\n",
      out);
  for (const CommandSpec& command : table) {
    std::fprintf(out, "  %-12s%s\n", command.name, command.summary);
  }
  std::fputs(
      "\n"
      "The cache is the one named by TESSARON.INI beside the library (or by the\n"
      "file that STOWMASTER_SETTINGS or --settings names); what the commands do\n"
      "is written to the library's log. Run as root, the program ignores\n"
      "STOWMASTER_SETTINGS as the library does, and so refuses to work on a\n"
      "cache while it is set: give --settings FILE instead.\n"
      "\n"
      "Options:\n",
      out);
  for (const OptionSpec& option : GlobalOptions()) PrintOption(out, option);
  std::fputs(
      "\n"
      "Exit status:\n"
      "  0  done\n"
      "  1  the library, its settings or the cache could not be used, or a file\n"
      "     could not be registered or adopted\n"
      "  2  bad usage\n"
      "  3  done, but some entries could not be deleted (shrink, empty)\n"
      "  4  the index is damaged (check; with --repair: and was repaired), or a\n"
      "     walk of the list met damage\n"
      "  5  the index and the disk disagree (check --files)\n",
      out);
}

void PrintCommandHelp(std::FILE* out, const CommandSpec& command) {
  std::string synopsis = std::string("stowmaster ") + command.name;
  if (command.synopsis[0] != '\0') synopsis += std::string(" ") + command.synopsis;
  const std::string options = OptionsSynopsis(command.options);
  if (!options.empty()) synopsis += " " + options;
  std::fprintf(out, "Usage: %s\n\n%s\n\n%s", synopsis.c_str(), command.summary, command.help);
  if (!command.options.empty()) {
    std::fputs("\nOptions:\n", out);
    for (const OptionSpec& option : command.options) PrintOption(out, option);
  }
  std::fputs("\nGlobal options:\n", out);
  for (const OptionSpec& option : GlobalOptions()) {
    if (std::string(option.name) == "--json" && !command.json) continue;
    if (std::string(option.name) == "--version") continue;
    PrintOption(out, option);
  }
}

std::string BashCompletion(const std::vector<CommandSpec>& table) {
  std::string commands;
  for (const CommandSpec& command : table) {
    commands += std::string(commands.empty() ? "" : " ") + command.name;
  }
  std::string out =
      "# bash completion for stowmaster, generated by `stowmaster completion bash`.\n"
      "_stowmaster_words()\n"
      "{\n"
      "    COMPREPLY=($(compgen -W \"$1\" -- \"$cur\"))\n"
      "}\n"
      "_stowmaster_paths()\n"
      "{\n"
      "    local IFS=$'\\n'\n"
      "    COMPREPLY=($(compgen \"$1\" -- \"$cur\"))\n"
      "    compopt -o filenames 2>/dev/null\n"
      "}\n"
      "_stowmaster()\n"
      "{\n"
      "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
      "    local command= ended= i\n"
      "    COMPREPLY=()\n"
      "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "        case ${COMP_WORDS[i]} in\n"
      "            --) ended=1 ;;\n"
      "            --library|--settings) [[ $ended ]] || ((i++)) ;;\n"
      "            -*) [[ $ended ]] || continue ;&\n"
      "            *) [[ $command ]] || command=${COMP_WORDS[i]} ;;\n"
      "        esac\n"
      "    done\n"
      "    if [[ ! $ended && ( $prev == --library || $prev == --settings ) ]]; then\n"
      "        _stowmaster_paths -f\n"
      "        return\n"
      "    fi\n"
      "    case $command in\n"
      "        '')\n"
      "            _stowmaster_words \"" +
      commands +
      " --library --settings --json --version --help\"\n"
      "            ;;\n";
  for (const CommandSpec& command : table) {
    std::string words;
    std::string prev_cases;
    for (const OptionSpec& option : command.options) {
      words += std::string(words.empty() ? "" : " ") + option.name;
      std::string action;
      switch (option.kind) {
        case ValueKind::kNone:
          continue;
        case ValueKind::kFile:
          action = "_stowmaster_paths -f";
          break;
        case ValueKind::kDir:
          action = "_stowmaster_paths -d";
          break;
        case ValueKind::kChoice: {
          std::string choices = option.value_name;
          for (char& c : choices) c = c == '|' ? ' ' : c;
          action = "_stowmaster_words \"" + choices + "\"";
          break;
        }
        case ValueKind::kCount:
        case ValueKind::kAge:
          action = ":";  // a number: nothing to offer
          break;
      }
      prev_cases += std::string("                ") + option.name + ") " + action + "; return ;;\n";
    }
    if (command.json) words += " --json";
    words += " --library --settings --help";
    std::string operands;
    switch (command.args) {
      case ArgKind::kNone:
        break;
      case ArgKind::kFiles:
      case ArgKind::kOptionalFile:
        operands = "_stowmaster_paths -f";
        break;
      case ArgKind::kDirs:
        operands = "_stowmaster_paths -d";
        break;
      case ArgKind::kCommand:
        operands = "_stowmaster_words \"" + commands + "\"";
        break;
      case ArgKind::kShell:
        operands = "_stowmaster_words \"bash\"";
        break;
    }
    out += std::string("        ") + command.name + ")\n";
    if (!prev_cases.empty()) {
      out += "            [[ $ended ]] || case $prev in\n" + prev_cases + "            esac\n";
    }
    if (operands.empty()) {
      out += "            [[ $ended ]] || _stowmaster_words \"" + words + "\"\n";
    } else {
      out += "            if [[ ! $ended && $cur == -* ]]; then\n"
             "                _stowmaster_words \"" + words + "\"\n"
             "            else\n"
             "                " + operands + "\n"
             "            fi\n";
    }
    out += "            ;;\n";
  }
  out +=
      "    esac\n"
      "}\n"
      "complete -F _stowmaster stowmaster\n";
  return out;
}

}  // namespace stow_program
