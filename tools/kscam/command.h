// The kscam tool's commands: each is a function over parsed arguments, registered in the table
// of commands.cpp. A command returns the process exit status (0 success, 1 failure, 2 usage).
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kscam::tool {

struct OptionSpec {
  const char* name;        // without the leading dashes: "count"
  const char* value_name;  // "N" for an option that takes a value, null for a flag
  const char* help;
};

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // options with a value (the last one given wins)
  std::vector<std::string> flags;             // options without a value
  std::optional<std::filesystem::path> settings;  // the global --settings FILE

  bool Flag(const std::string& name) const;
  std::optional<std::string> Value(const std::string& name) const;
};

struct Command {
  const char* name;         // one or two words: "info", "bench convert"
  const char* summary;      // one line for the command list
  const char* usage;        // arguments after the name: "[--count N] FILE"
  const char* description;  // a paragraph for COMMAND --help
  std::vector<OptionSpec> options;
  int (*run)(const Args&);
  // Commands that parse their own options (repeated ones such as --set) get the words after
  // their name, less the global --settings option, instead of parsed arguments.
  int (*run_words)(const std::vector<std::string>&) = nullptr;
};

// Every command, in the order `kscam --help` lists them.
const std::vector<Command>& Commands();

// Command entry points.
int RunInfo(const Args& args);
int RunListControls(const Args& args);
int RunGet(const Args& args);
int RunSet(const Args& args);
int RunRegion(const Args& args);
int RunReinit(const Args& args);
int RunRegister(const Args& args);
int RunMemory(const Args& args);
int RunRawCommand(const Args& args);

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

}  // namespace kscam::tool
