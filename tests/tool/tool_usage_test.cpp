// The tool as a newcomer drives it: the help lists every option with its default, and every
// kind of mistake gives one line, the documented exit status, and leaves the settings file as
// it was.
#include <set>
#include <vector>

#include "tests/tool/tool_run.h"

namespace {

using ToolUsage = ToolTest;

// The commands `kscam --help` names, in its order.
std::vector<std::string> CommandNames(const std::string& help) {
  std::vector<std::string> names;
  std::istringstream lines(help.substr(help.find("commands:\n")));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && !line.empty()) {
    // "  name           summary" (one or two words), or an indented usage or option line.
    if (line.size() < 3 || line[2] == ' ') continue;
    const size_t end = line.find("  ", 2);
    names.push_back(line.substr(2, end - 2));
  }
  return names;
}

bool Listed(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(ToolUsage, HelpListsEveryCommandAndEveryOptionWithItsDefault) {
  const ToolRun help = Kscam("--help");
  ASSERT_EQ(help.status, 0) << help.err;
  const std::vector<std::string> names = CommandNames(help.out);
  for (const char* expected : {"info", "list-ctrls", "get", "set", "region", "reinit", "reg", "mem", "raw-cmd",
                               "capture", "stream", "convert", "bench convert", "bench stream"}) {
    EXPECT_TRUE(Listed(names, expected)) << expected << "\n" << help.out;
  }
  EXPECT_NE(help.out.find("--settings FILE"), std::string::npos);
  int options = 0;
  for (const std::string& name : names) {
    const ToolRun one = Kscam(name + " --help");
    ASSERT_EQ(one.status, 0) << name << one.err;
    EXPECT_EQ(one.out.rfind("usage: kscam [--settings FILE] " + name, 0), 0u) << one.out;
    // Each option line of the command shows its default (or that it is required), and the
    // overall help shows the same line.
    std::vector<std::string> lines;
    std::istringstream text(one.out.substr(0, one.out.find("global options:")));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    for (size_t i = 0; i < lines.size(); ++i) {
      const size_t indent = lines[i].find_first_not_of(' ');
      if (indent == std::string::npos || indent < 2 || indent > 6 || lines[i][indent] != '-') continue;
      ++options;
      std::string whole = lines[i];
      // A long help wraps onto lines indented further.
      while (i + 1 < lines.size()) {
        const size_t next = lines[i + 1].find_first_not_of(' ');
        if (next == std::string::npos || next <= 8) break;
        whole += " " + lines[++i].substr(next);
      }
      EXPECT_TRUE(whole.find("(default: ") != std::string::npos || whole.find("(required)") != std::string::npos)
          << name << ": " << whole;
      const std::string option = whole.substr(whole.find("--"), whole.find(' ', whole.find("--")) - whole.find("--"));
      EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
  }
  EXPECT_GE(options, 7);
  EXPECT_EQ(Kscam("--version").status, 0);
  EXPECT_EQ(Kscam("help").status, 2);
}

TEST_F(ToolUsage, MistakesExitTwoWithOneLineAndLeaveTheSettingsAlone) {
  ASSERT_EQ(Kscam("set Brightness=300 FlipV=1").status, 0);
  const std::string before = Read(settings_);
  ASSERT_NE(before.find("\"Brightness\"=dword:0000012c"), std::string::npos) << before;

  // Input files named on the command line.
  std::ofstream(folder_ / "short.raw") << std::string(100, 'x');
  std::ofstream(folder_ / "not-an-image.png") << "hello";
  std::filesystem::create_directory(folder_ / "a-folder");
  std::vector<std::string> cases = {
      "", "frobnicate", "bench", "bench frobnicate", "info --frobnicate", "-x info", "info extra", "get",
      "get Sharpness", "set Brightness=12x", "set Brightness=", "set =5", "set Brightness", "set ExposureMax=3",
      "set Hue=0x100000000", "get Region", "region 1,2,3", "region 1,2,3,4,5,6", "region a,b,c,d",
      "reg read 0x10000", "reg write 0x3012 70000", "reg", "mem -1", "mem 0x", "raw-cmd 256", "raw-cmd",
      "get Brightness --settings", "convert", "convert --size", "convert missing.raw --size 16x8 -o o.png",
      "convert short.raw --size 16x8 -o o.png", "convert a-folder --size 16x8 -o o.png",
      "convert short.raw --size 8x8 -o o.jpg", "convert short.raw --size 4x4 -o o.png", "bench convert --runs",
      "bench convert --runs 0", "bench convert --size 9x9999", "capture -n", "capture -n x", "capture -n 0",
      "capture -n -3", "capture --format jpg", "capture --speed fast", "capture --timeout-ms 0",
      "capture --trigger-ms abc", "capture --region 1,2", "capture --set Bogus=1", "capture --set Exposure=abc",
      "capture --set Exposure", "capture --set Region=1", "capture --scene missing.png", "capture --scene a-folder",
      "capture --scene not-an-image.png", "capture --raw=1", "capture extra", "capture --set ExposureMax=5",
      "stream -n x", "stream --speed 2", "stream --scene missing.jpg", "bench stream -n 0",
      "bench stream --frobnicate",
  };
  for (const std::string& arguments : cases) {
    const ToolRun r = Kscam(arguments + " </dev/null >/dev/null");
    EXPECT_EQ(r.status, 2) << arguments << "\n" << r.err;
    EXPECT_EQ(r.ErrLines(), 1) << arguments << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("kscam", 0), 0u) << arguments << "\n" << r.err;
    EXPECT_EQ(Read(settings_), before) << arguments;
  }
  EXPECT_FALSE(std::filesystem::exists(folder_ / "o.png"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "frames"));
  EXPECT_FALSE(std::filesystem::exists(settings_.string() + ".bad"));
}

TEST_F(ToolUsage, RuntimeFailuresExitOne) {
  std::ofstream(folder_ / "plain-file") << "x";
  std::ofstream(folder_ / "in.raw") << std::string(16 * 8, '\x40');
  // An output that cannot be written; a settings folder that cannot be made.
  for (const std::string& arguments : {std::string("convert in.raw --size 16x8 -o plain-file/o.png"),
                                       std::string("convert in.raw --size 16x8 -o no/such/o.bmp")}) {
    const ToolRun r = Kscam(arguments);
    EXPECT_EQ(r.status, 1) << arguments << r.err;
    EXPECT_EQ(r.ErrLines(), 1) << arguments << r.err;
  }
  const ToolRun unsaved = Kscam("set Brightness=7", folder_ / "plain-file" / "settings.reg");
  EXPECT_EQ(unsaved.status, 1) << unsaved.err;
  EXPECT_EQ(Read(folder_ / "plain-file"), "x");
  // A settings path that is a folder is never replaced.
  const ToolRun folder = Kscam("get Brightness", folder_);
  EXPECT_EQ(folder.status, 1) << folder.err;
  EXPECT_EQ(folder.ErrLines(), 1) << folder.err;
  EXPECT_TRUE(std::filesystem::is_directory(folder_));

  const ToolRun blocked = Kscam("capture -o plain-file/frames");
  EXPECT_EQ(blocked.status, 1) << blocked.err;
  EXPECT_EQ(blocked.ErrLines(), 1) << blocked.err;
  // A camera waiting for a trigger that never comes: the client gives up after its time-out
  // and says what to do.
  const ToolRun waiting = Kscam("capture --speed max --set ExTrigger=1 --timeout-ms 300");
  EXPECT_EQ(waiting.status, 1) << waiting.err;
  EXPECT_NE(waiting.err.find("no frame within 300 ms"), std::string::npos) << waiting.err;
  EXPECT_NE(waiting.err.find("--trigger-ms"), std::string::npos) << waiting.err;
}

TEST_F(ToolUsage, ADamagedSettingsFileIsKeptAsideAndTheCommandGoesOn) {
  const std::string damaged = "Windows Registry Editor Version 5.00\n\n[broken\n";
  std::ofstream(settings_) << damaged;
  const ToolRun r = Kscam("set Contrast=12");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Contrast=12\n");
  EXPECT_EQ(r.ErrLines(), 1) << r.err;
  EXPECT_NE(r.err.find(".bad"), std::string::npos) << r.err;
  EXPECT_EQ(Read(settings_.string() + ".bad"), damaged);
  // The new file holds the change and reads cleanly.
  const ToolRun again = Kscam("get Contrast");
  EXPECT_EQ(again.out, "Contrast=12\n");
  EXPECT_EQ(again.err, "");
}

}  // namespace
