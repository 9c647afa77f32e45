// kscam: the command-line tool. Global options (--settings FILE, --help, --version) are
// accepted anywhere; the first words that are not options name the command.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host/registry/location.h"
#include "tools/kscam/command.h"

namespace kscam::tool {
namespace {

constexpr const char* kVersion = KSCAM_VERSION;

std::string OptionLeft(const OptionSpec& o) {
  std::string left = o.short_name ? std::string("-") + o.short_name + ", " : std::string("    ");
  left += std::string("--") + o.name;
  if (o.value_name) left += std::string(" ") + o.value_name;
  return left;
}

// `text` in lines of at most 100 columns, the first starting at column `first`, the others
// indented to `indent`.
std::string Wrap(const std::string& text, size_t first, size_t indent) {
  constexpr size_t kColumns = 100;
  std::string out;
  size_t column = first;
  std::istringstream words(text);
  std::string word;
  bool line_start = true;
  while (words >> word) {
    if (!line_start && column + 1 + word.size() > kColumns) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
      line_start = true;
    }
    if (!line_start) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    line_start = false;
  }
  return out;
}

void PrintOptions(const std::vector<OptionSpec>& options, const std::string& indent) {
  size_t width = 0;
  for (const OptionSpec& o : options) width = std::max(width, OptionLeft(o).size());
  for (const OptionSpec& o : options) {
    const std::string left = OptionLeft(o);
    std::string help = o.help;
    if (o.default_value) {
      help += std::string_view(o.default_value) == "required" ? " (required)"
                                                              : std::string(" (default: ") + o.default_value + ")";
    }
    std::cout << indent << left << std::string(width - left.size() + 2, ' ')
              << Wrap(help, indent.size() + width + 2, indent.size() + width + 2) << "\n";
  }
}

std::string DefaultSettingsPath() {
  std::string error;
  auto path = host::registry::SettingsFilePath("", &error);
  return path ? path->string() : "none: " + error;
}

void PrintGlobalOptions() {
  std::cout << "global options:\n"
               "  --settings FILE  the settings file (default: $KSCAM_SETTINGS, else\n"
               "                   $XDG_STATE_HOME/kscam/settings.reg, else ~/.local/state/kscam/settings.reg;\n"
               "                   here: "
            << DefaultSettingsPath()
            << ")\n"
               "  -h, --help       this help, or a command's help after its name\n"
               "  --version        the version\n";
}

void PrintHelp() {
  std::cout << "kscam " << kVersion
            << " - a kernel-streaming camera driver on a host that stands in for the platform\n\n"
               "usage: kscam [--settings FILE] COMMAND [OPTIONS]\n"
               "       kscam COMMAND --help\n\n"
               "commands:\n";
  size_t width = 0;
  for (const Command& c : Commands()) width = std::max(width, std::strlen(c.name));
  for (const Command& c : Commands()) {
    std::cout << "  " << c.name << std::string(width - std::strlen(c.name) + 2, ' ') << c.summary << "\n";
    if (*c.usage) std::cout << "  " << std::string(width + 2, ' ') << "kscam " << c.name << " " << c.usage << "\n";
    PrintOptions(c.options, "  " + std::string(width + 4, ' '));
  }
  std::cout << "\n";
  PrintGlobalOptions();
  std::cout << "\nexit status: 0 success, 1 failure (no frame in time, a file that cannot be written),\n"
               "2 usage error (unknown command, option or control, malformed number, unreadable input file)\n";
}

void PrintCommandHelp(const Command& c) {
  std::cout << "usage: kscam [--settings FILE] " << c.name;
  if (*c.usage) std::cout << " " << c.usage;
  std::cout << "\n\n" << Wrap(c.description, 0, 0) << "\n";
  if (!c.options.empty()) {
    std::cout << "\noptions:\n";
    PrintOptions(c.options, "  ");
  }
  std::cout << "\n";
  PrintGlobalOptions();
}

int UsageError(const std::string& message) {
  std::cerr << "kscam: " << message << "\n";
  return kExitUsage;
}

const Command* FindCommand(const std::vector<std::string>& words, size_t* used) {
  // Two-word commands ("bench convert") win over one-word ones.
  if (words.size() >= 2) {
    const std::string two = words[0] + " " + words[1];
    for (const Command& c : Commands()) {
      if (two == c.name) {
        *used = 2;
        return &c;
      }
    }
  }
  for (const Command& c : Commands()) {
    if (!words.empty() && words[0] == c.name) {
      *used = 1;
      return &c;
    }
  }
  return nullptr;
}

// A family of two-word commands ("bench") named without its second word.
bool IsCommandFamily(const std::string& word) {
  for (const Command& c : Commands()) {
    if (std::string_view(c.name).rfind(word + " ", 0) == 0) return true;
  }
  return false;
}

const OptionSpec* FindOption(const Command* c, std::string_view name) {
  if (!c) return nullptr;
  for (const OptionSpec& o : c->options) {
    if (name == o.name || (name.size() == 1 && name[0] == o.short_name)) return &o;
  }
  return nullptr;
}

// Before the command is known, an option is taken to need a value when any command's option
// of that name does.
const OptionSpec* FindAnyOption(std::string_view name) {
  for (const Command& c : Commands()) {
    if (const OptionSpec* o = FindOption(&c, name)) return o;
  }
  return nullptr;
}

std::string Dashed(const std::string& name) { return (name.size() == 1 ? "-" : "--") + name; }

int Main(int argc, char** argv) {
  std::vector<std::string> words;  // everything that is not an option, in order
  std::vector<std::string> raw(argv + 1, argv + argc);
  Args args;
  bool help = false;
  bool version = false;
  size_t command_words = 0;
  bool options_ended = false;

  // Options may come before the command name, so the command is found as soon as its words
  // are complete; command options are checked once it is known.
  struct Pending {
    std::string name;  // long name, or the letter of a short one
    std::optional<std::string> value;
  };
  std::vector<Pending> pending;

  // Commands that parse their own words: find their name after any leading global options.
  {
    std::vector<std::string> rest;
    bool asked_help = false;
    for (size_t i = 0; i < raw.size(); ++i) {
      const std::string& a = raw[i];
      if (a == "--settings" && i + 1 < raw.size()) {
        ++i;
      } else if (a.rfind("--settings=", 0) == 0) {
      } else if (a == "-h" || a == "--help") {
        asked_help = true;
      } else {
        rest.push_back(a);
      }
    }
    size_t used = 0;
    const Command* c = FindCommand(rest, &used);
    if (c && c->run_words) {
      if (asked_help) {
        PrintCommandHelp(*c);
        return kExitOk;
      }
      return c->run_words(std::vector<std::string>(rest.begin() + static_cast<long>(used), rest.end()));
    }
  }

  for (size_t i = 0; i < raw.size(); ++i) {
    const std::string& a = raw[i];
    // A negative number ("-5") is an argument, not an option.
    if (options_ended || a.size() < 2 || a[0] != '-' || (a[1] >= '0' && a[1] <= '9')) {
      words.push_back(a);
      continue;
    }
    if (a == "--") {
      options_ended = true;
      continue;
    }
    if (a == "-h" || a == "--help") {
      help = true;
      continue;
    }
    if (a == "--version") {
      version = true;
      continue;
    }
    std::string name;
    std::optional<std::string> value;
    if (a.rfind("--", 0) == 0) {
      name = a.substr(2);
      if (auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
    } else if (a.size() == 2) {
      name = a.substr(1);  // a short option: -n
    } else {
      return UsageError("unknown option '" + a + "' (see 'kscam --help')");
    }
    if (name == "settings") {
      if (!value) {
        if (i + 1 >= raw.size()) return UsageError("option '--settings' needs a FILE");
        value = raw[++i];
      }
      if (value->empty()) return UsageError("option '--settings' needs a FILE");
      args.settings = *value;
      continue;
    }
    // A command option: its value, if it takes one, may be the next argument.
    size_t used = 0;
    const Command* known = FindCommand(words, &used);
    const OptionSpec* option = known ? FindOption(known, name) : FindAnyOption(name);
    if (option && option->value_name && !value) {
      if (i + 1 >= raw.size()) return UsageError("option '" + Dashed(name) + "' needs a " + option->value_name);
      value = raw[++i];
    }
    pending.push_back({name, value});
  }

  if (version) {
    std::cout << "kscam " << kVersion << "\n";
    return kExitOk;
  }
  if (words.empty()) {
    if (help) {
      PrintHelp();
      return kExitOk;
    }
    if (!pending.empty()) return UsageError("unknown option '" + Dashed(pending.front().name) + "' (see 'kscam --help')");
    return UsageError("no command given (see 'kscam --help')");
  }
  const Command* command = FindCommand(words, &command_words);
  if (!command) {
    if (IsCommandFamily(words[0])) {
      std::string names;
      for (const Command& c : Commands()) {
        if (std::string_view(c.name).rfind(words[0] + " ", 0) == 0) names += std::string(names.empty() ? "" : ", ") + "'" + c.name + "'";
      }
      return UsageError("'" + words[0] + "' needs a second word: " + names);
    }
    return UsageError("unknown command '" + words[0] + "' (see 'kscam --help')");
  }
  if (help) {
    PrintCommandHelp(*command);
    return kExitOk;
  }
  for (const Pending& p : pending) {
    const OptionSpec* option = FindOption(command, p.name);
    if (!option) {
      return UsageError("unknown option '" + Dashed(p.name) + "' for '" + command->name + "' (see 'kscam " +
                        command->name + " --help')");
    }
    if (option->value_name) {
      if (!p.value) return UsageError("option '--" + std::string(option->name) + "' needs a " + option->value_name);
      std::vector<std::string>& slot = args.values[option->name];
      if (!option->repeats) slot.clear();
      slot.push_back(*p.value);
    } else {
      if (p.value) return UsageError("option '--" + std::string(option->name) + "' takes no value");
      args.flags.push_back(option->name);
    }
  }
  args.positional.assign(words.begin() + static_cast<long>(command_words), words.end());
  return command->run(args);
}

}  // namespace
}  // namespace kscam::tool

int main(int argc, char** argv) { return kscam::tool::Main(argc, argv); }
