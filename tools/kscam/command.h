// The kscam tool's commands: each is a function over parsed arguments, registered in the table
// of commands.cpp. A command returns the process exit status (0 success, 1 failure, 2 usage).
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kscam::client {
class Camera;
class Filter;
}  // namespace kscam::client

namespace kscam::tool {

struct OptionSpec {
  const char* name;        // without the leading dashes: "count"
  const char* value_name;  // "N" for an option that takes a value, null for a flag
  const char* help;
  const char* default_value = nullptr;  // shown in the help; null when there is none
  char short_name = 0;                  // 'n' for -n; 0 for none
  bool repeats = false;                 // every occurrence counts (--set A=1 --set B=2)
};

struct Args {
  std::vector<std::string> positional;
  // Options with a value, every occurrence in order; for options that do not repeat, the
  // last one given wins.
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::string> flags;             // options without a value
  std::optional<std::filesystem::path> settings;  // the global --settings FILE

  bool Flag(const std::string& name) const;
  std::optional<std::string> Value(const std::string& name) const;
  std::vector<std::string> Values(const std::string& name) const;
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
int RunCapture(const Args& args);
int RunStream(const Args& args);
int RunBenchStream(const Args& args);

// Runs `work` against an open capture filter of a started camera (a host with one emulated
// camera, the stored settings loaded), then closes the filter, stops and removes the camera.
// Returns the exit status of `work`, or 1 when the camera could not be started, the settings
// could not be saved or the verifier found a fault.
using FilterWork = std::function<int(client::Filter&, client::Camera&)>;
int WithFilter(const std::optional<std::filesystem::path>& settings, const FilterWork& work);
int WithFilter(const Args& args, const FilterWork& work);

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Print "kscam: MESSAGE" on stderr and return the exit status of a usage error or of a
// failure at run time.
int Usage(const std::string& message);
int Failure(const std::string& message);

}  // namespace kscam::tool
