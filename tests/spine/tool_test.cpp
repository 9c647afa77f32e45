// The kscam tool as a user runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

struct ToolRun {
  int status;
  std::string out;  // standard output and standard error together
};

ToolRun Kscam(const std::string& arguments, const std::string& env = "") {
  const std::string command = env + " " + KSCAM_TOOL + " " + arguments + " 2>&1";
  ToolRun run{-1, {}};
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.out.append(buffer.data(), n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

// A fresh folder per test for the settings files the tool writes at Stop.
std::string ScratchDir(const std::string& name) {
  const auto dir = std::filesystem::temp_directory_path() / ("kscam-tool-test-" + std::to_string(getpid()) + "-" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

TEST(ToolTest, InfoShowsTheStartedCameraAndACleanVerifier) {
  const std::string dir = ScratchDir("info");
  ToolRun r = Kscam("info", "KSCAM_SETTINGS=" + dir + "/from-env.reg");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("settings: " + dir + "/from-env.reg"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("camera 0 add: STATUS_SUCCESS"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("filter factory \"GLOBAL\", create-item flags 0x8"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("data range: 4608 x 3288, 32 bits per pixel (RGB32, VideoInfo)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sample size:    60604416 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("frame interval: 333333 .. 333333"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("bits per second: 1660157952 .. 1660157952"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("bit rate:       1818132480"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("usb device 1209:4b53"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("interface 0 alternate 0, 3 pipes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("pipe 0: endpoint 0x01 bulk out"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("pipe 1: endpoint 0x81 bulk in"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("pipe 2: endpoint 0x82 bulk in"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("camera 0 stop: stopped"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("verifier: clean"), std::string::npos) << r.out;
  std::filesystem::remove_all(dir);
}

TEST(ToolTest, TheSettingsOptionWinsOverTheEnvironmentAnywhereOnTheLine) {
  const std::string dir = ScratchDir("option");
  ToolRun before = Kscam("--settings " + dir + "/a.reg info", "KSCAM_SETTINGS=" + dir + "/env.reg");
  EXPECT_EQ(before.status, 0);
  EXPECT_NE(before.out.find("settings: " + dir + "/a.reg"), std::string::npos) << before.out;
  ToolRun after = Kscam("info --settings=" + dir + "/b.reg");
  EXPECT_EQ(after.status, 0);
  EXPECT_NE(after.out.find("settings: " + dir + "/b.reg"), std::string::npos) << after.out;
  EXPECT_FALSE(std::filesystem::exists(dir + "/env.reg"));
  std::filesystem::remove_all(dir);
}

TEST(ToolTest, HelpAndVersion) {
  ToolRun help = Kscam("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: kscam"), std::string::npos);
  EXPECT_NE(help.out.find("info"), std::string::npos);
  EXPECT_NE(help.out.find("--settings FILE"), std::string::npos);
  ToolRun command_help = Kscam("info --help");
  EXPECT_EQ(command_help.status, 0);
  EXPECT_NE(command_help.out.find("usage: kscam [--settings FILE] info"), std::string::npos) << command_help.out;
  ToolRun version = Kscam("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("kscam ", 0), 0u) << version.out;
}

TEST(ToolTest, UsageErrorsAreOneLineAndExitTwo) {
  for (const char* line : {"", "frobnicate", "--frobnicate", "info --frobnicate", "info extra", "--settings",
                           "info --settings=", "-x info"}) {
    ToolRun r = Kscam(line);
    EXPECT_EQ(r.status, 2) << line << ": " << r.out;
    EXPECT_EQ(r.out.rfind("kscam: ", 0), 0u) << line << ": " << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << line << ": " << r.out;
  }
}

}  // namespace
