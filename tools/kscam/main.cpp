// kscam: the command-line tool. Global options (--settings FILE, --help, --version) are
// accepted anywhere; the first words that are not options name the command.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/kscam/command.h"

namespace kscam::tool {
namespace {

constexpr const char* kVersion = KSCAM_VERSION;

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
  }
  std::cout << "\nglobal options:\n"
               "  --settings FILE  the settings hive (default $KSCAM_SETTINGS, else\n"
               "                   $XDG_STATE_HOME/kscam/settings.reg or ~/.local/state/kscam/settings.reg)\n"
               "  --help, -h       this help, or a command's help after its name\n"
               "  --version        the version\n";
}

void PrintCommandHelp(const Command& c) {
  std::cout << "usage: kscam [--settings FILE] " << c.name;
  if (*c.usage) std::cout << " " << c.usage;
  std::cout << "\n\n" << c.description << "\n";
  if (!c.options.empty()) {
    std::cout << "\noptions:\n";
    for (const OptionSpec& o : c.options) {
      std::string left = std::string("--") + o.name + (o.value_name ? std::string(" ") + o.value_name : "");
      std::cout << "  " << left << std::string(left.size() < 20 ? 20 - left.size() : 1, ' ') << o.help << "\n";
    }
  }
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

const OptionSpec* FindOption(const Command* c, std::string_view name) {
  if (!c) return nullptr;
  for (const OptionSpec& o : c->options) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

int Main(int argc, char** argv) {
  std::vector<std::string> words;  // everything that is not an option, in order
  std::vector<std::string> raw(argv + 1, argv + argc);
  Args args;
  bool help = false;
  bool version = false;
  const Command* command = nullptr;
  size_t command_words = 0;
  bool options_ended = false;

  // Options may come before the command name, so the command is found as soon as its words
  // are complete; command options are checked once it is known.
  struct Pending {
    std::string name;
    std::optional<std::string> value;
  };
  std::vector<Pending> pending;

  // Commands that parse their own words: find their name after any leading global options.
  {
    std::vector<std::string> rest;
    std::optional<std::filesystem::path> settings;
    bool asked_help = false;
    for (size_t i = 0; i < raw.size(); ++i) {
      const std::string& a = raw[i];
      if (a == "--settings" && i + 1 < raw.size()) {
        settings = raw[++i];
      } else if (a.rfind("--settings=", 0) == 0) {
        settings = a.substr(11);
      } else if (a == "-h" || a == "--help") {
        asked_help = true;
      } else {
        rest.push_back(a);
      }
    }
    size_t used = 0;
    const Command* c = FindCommand(rest, &used);
    if (c && c->run_words && !rest.empty() && (rest[0] == "convert" || rest[0] == "bench")) {
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
    if (a.rfind("--", 0) != 0) return UsageError("unknown option '" + a + "' (see 'kscam --help')");
    std::string name = a.substr(2);
    std::optional<std::string> value;
    if (auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
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
    // A command option: its value, if it takes one, may be the next argument. The command may
    // not be known yet, so look it up from the words seen so far.
    size_t used = 0;
    const Command* known = FindCommand(words, &used);
    const OptionSpec* spec = FindOption(known, name);
    if (spec && spec->value_name && !value) {
      if (i + 1 >= raw.size()) return UsageError("option '--" + name + "' needs a " + spec->value_name);
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
    if (!pending.empty()) return UsageError("unknown option '--" + pending.front().name + "' (see 'kscam --help')");
    return UsageError("no command given (see 'kscam --help')");
  }
  command = FindCommand(words, &command_words);
  if (!command) return UsageError("unknown command '" + words[0] + "' (see 'kscam --help')");
  if (help) {
    PrintCommandHelp(*command);
    return kExitOk;
  }
  for (const Pending& p : pending) {
    const OptionSpec* spec = FindOption(command, p.name);
    if (!spec) {
      return UsageError("unknown option '--" + p.name + "' for '" + command->name + "' (see 'kscam " +
                        command->name + " --help')");
    }
    if (spec->value_name) {
      args.values[p.name] = *p.value;
    } else {
      if (p.value) return UsageError("option '--" + p.name + "' takes no value");
      args.flags.push_back(p.name);
    }
  }
  args.positional.assign(words.begin() + static_cast<long>(command_words), words.end());
  return command->run(args);
}

}  // namespace
}  // namespace kscam::tool

int main(int argc, char** argv) { return kscam::tool::Main(argc, argv); }
