// The README's tour runs as shown: every `$ ...` line of its examples is run in order in a
// fresh home, and what it prints must match the README, up to what differs from run to run
// (frame rates, time stamps, the scratch folder's name).
#include <regex>
#include <vector>

#include "tests/tool/tool_run.h"

namespace {

struct Example {
  std::string command;
  std::string output;
};

std::vector<Example> TourExamples(const std::string& readme) {
  std::vector<Example> examples;
  std::istringstream lines(readme);
  bool in_tour = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("## ", 0) == 0) in_tour = line == "## A tour of the tool";
    if (!in_tour) continue;
    if (line.rfind("    $ ", 0) == 0) {
      examples.push_back({line.substr(6), ""});
    } else if (!examples.empty() && line.rfind("    ", 0) == 0) {
      examples.back().output += line.substr(4) + "\n";
    } else if (!examples.empty() && line.empty() && !examples.back().output.empty()) {
      examples.back().output += "\n";
    }
  }
  for (Example& e : examples) {
    while (e.output.size() >= 2 && e.output.substr(e.output.size() - 2) == "\n\n") e.output.pop_back();
  }
  return examples;
}

std::string Normalise(std::string text, const std::string& home) {
  for (size_t at; (at = text.find(home)) != std::string::npos;) text.replace(at, home.size(), "HOME");
  text = std::regex_replace(text, std::regex("/tmp/tour"), "HOME");
  text = std::regex_replace(text, std::regex("[0-9.]+ frames/s, "), "# frames/s, ");
  text = std::regex_replace(text, std::regex("\"presentation_time\": [0-9]+"), "\"presentation_time\": #");
  return text;
}

using ReadmeTour = ToolTest;

TEST_F(ReadmeTour, EveryExampleRunsAsShown) {
  const std::vector<Example> examples = TourExamples(Read(KSCAM_README));
  ASSERT_GE(examples.size(), 20u);
  const std::string home = folder_.string();
  const std::string tool_dir = std::filesystem::path(tool()).parent_path().string();
  const bool have_ffmpeg = Shell("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null").status == 0;
  int run = 0;
  for (const Example& e : examples) {
    // Speed figures differ from run to run; the encoder is not part of the project.
    if (e.command.find("bench ") != std::string::npos) continue;
    if (!have_ffmpeg && (e.command.find("ffmpeg") != std::string::npos || e.command.find("ffprobe") != std::string::npos))
      continue;
    const ToolRun r = Shell("env -u KSCAM_SETTINGS -u XDG_STATE_HOME HOME='" + home + "' PATH='" + tool_dir +
                            ":'\"$PATH\" sh -c '" + std::regex_replace(e.command, std::regex("'"), "'\\''") +
                            "' 2>&1");
    EXPECT_EQ(Normalise(r.out, home), Normalise(e.output, home)) << "$ " << e.command;
    ++run;
  }
  EXPECT_GE(run, 15);
}

}  // namespace
