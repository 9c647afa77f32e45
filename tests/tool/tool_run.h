// Runs the built kscam tool as a user does: a new process per command, a settings file in a
// scratch folder of its own, standard output and standard error kept apart.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

struct ToolRun {
  int status;
  std::string out;  // standard output
  std::string err;  // standard error
  int ErrLines() const { return static_cast<int>(std::count(err.begin(), err.end(), '\n')); }
};

class ToolTest : public ::testing::Test {
 protected:
  ToolTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kscam-tool-XXXXXX").string();
    folder_ = ::mkdtemp(pattern.data());
    settings_ = folder_ / "settings.reg";
  }
  ~ToolTest() override {
    std::error_code ec;
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(folder_, ec);
  }

  // `arguments` go through the shell, after --settings; the tool runs in the scratch folder.
  ToolRun Kscam(const std::string& arguments, const std::filesystem::path& settings = {}) {
    const std::filesystem::path file = settings.empty() ? settings_ : settings;
    return Shell(std::string(KSCAM_TOOL) + " --settings '" + file.string() + "' " + arguments + " 2>'" +
                 (folder_ / "stderr.txt").string() + "'");
  }

  // A shell command line run in the scratch folder; standard error is what it wrote to
  // stderr.txt there.
  ToolRun Shell(const std::string& line) {
    const std::filesystem::path err = folder_ / "stderr.txt";
    std::filesystem::remove(err);
    ToolRun run{-1, {}, {}};
    FILE* pipe = popen(("cd '" + folder_.string() + "' && { " + line + "\n}").c_str(), "r");
    if (!pipe) return run;
    std::array<char, 1 << 16> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.out.append(buffer.data(), n);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.err = Read(err);
    return run;
  }

  const char* tool() const { return KSCAM_TOOL; }

 public:
  static std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

 protected:
  std::filesystem::path folder_;
  std::filesystem::path settings_;
};
