#include "host/registry/hive.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "tests/registry/temp_folder.h"

namespace kscam::host::registry {
namespace {

using kscam::test::ReadText;
using kscam::test::TempFolder;
using kscam::test::WriteText;
namespace fs = std::filesystem;

constexpr const char* kDev = "HKLM\\Cam\\0000";
constexpr const char* kSettings = "HKLM\\Cam\\0000\\Settings";

NTSTATUS SetDword(Hive& hive, std::string_view key, std::string_view name, uint32_t v) {
  uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                  static_cast<uint8_t>(v >> 24)};
  return hive.SetValue(key, name, REG_DWORD, b);
}

std::optional<uint32_t> GetDword(Hive& hive, std::string_view key, std::string_view name) {
  Value v;
  if (hive.QueryValue(key, name, &v) != STATUS_SUCCESS || v.data.size() != 4) return std::nullopt;
  return v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<uint32_t>(v.data[3]) << 24;
}

std::shared_ptr<Hive> OpenOk(const fs::path& file) {
  std::string error;
  std::shared_ptr<Hive> hive = Hive::Open(file, &error);
  EXPECT_TRUE(hive) << error;
  return hive;
}

TEST(Hive, MissingFileStartsEmptyAndFirstWriteCreatesFileAndFolders) {
  TempFolder tmp;
  fs::path file = tmp.path() / "state" / "kscam" / "settings.reg";
  auto hive = OpenOk(file);
  EXPECT_TRUE(hive->Snapshot().empty());
  EXPECT_FALSE(fs::exists(file.parent_path()));  // reading creates nothing

  bool created = false;
  ASSERT_EQ(hive->CreateKey(kDev, "Settings", &created), STATUS_SUCCESS);
  EXPECT_TRUE(created);
  EXPECT_EQ(ReadText(file),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKLM\\Cam\\0000]\n\n"
            "[HKLM\\Cam\\0000\\Settings]\n\n");
  auto before = fs::last_write_time(file);
  ASSERT_EQ(hive->CreateKey(kDev, "SETTINGS", &created), STATUS_SUCCESS);
  EXPECT_FALSE(created);
  EXPECT_EQ(fs::last_write_time(file), before);  // opening an existing key writes nothing
  EXPECT_FALSE(fs::exists(fs::path(file) += ".tmp"));
}

TEST(Hive, SavingTheSameValuesTwiceWritesIdenticalFiles) {
  TempFolder tmp;
  fs::path file = tmp.path() / "settings.reg";
  auto hive = OpenOk(file);
  std::vector<std::string> names;
  for (int i = 0; i < 26; ++i) names.push_back("Value" + std::to_string(25 - i));  // not sorted
  auto save = [&] {
    for (int i = 0; i < 26; ++i) ASSERT_EQ(SetDword(*hive, kSettings, names[i], i * 1000), STATUS_SUCCESS);
  };
  save();
  std::string first = ReadText(file);
  save();
  EXPECT_EQ(ReadText(file), first);
  // Values are kept in the order they were first written.
  size_t last = 0;
  for (const std::string& n : names) {
    size_t at = first.find("\"" + n + "\"=");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(at, last);
    last = at;
  }
  // And a new process reads exactly what was written.
  auto again = OpenOk(file);
  EXPECT_EQ(GetDword(*again, kSettings, "value0"), 25000u);
  EXPECT_EQ(again->Snapshot(), hive->Snapshot());
}

TEST(Hive, CrashBeforeReplaceLeavesPreviousHiveIntact) {
  TempFolder tmp;
  fs::path file = tmp.path() / "settings.reg";
  fs::path temp = fs::path(file) += ".tmp";
  auto hive = OpenOk(file);
  ASSERT_EQ(SetDword(*hive, kSettings, "Brightness", 255), STATUS_SUCCESS);
  const std::string before = ReadText(file);

  // In this process: the write stops after the temporary file is complete.
  hive->SetBeforeReplaceHook([] { return false; });
  EXPECT_FALSE(NT_SUCCESS(SetDword(*hive, kSettings, "Brightness", 300)));
  EXPECT_FALSE(hive->TakeWriteError().empty());
  EXPECT_EQ(ReadText(file), before);
  EXPECT_NE(ReadText(temp).find("dword:0000012c"), std::string::npos);
  EXPECT_EQ(GetDword(*OpenOk(file), kSettings, "Brightness"), 255u);
  EXPECT_EQ(GetDword(*hive, kSettings, "Brightness"), 255u);  // the failed write changed nothing

  // A real crash at the same point, in a child process.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    hive->SetBeforeReplaceHook([] {
      ::_exit(7);
      return true;
    });
    SetDword(*hive, kSettings, "Contrast", 20);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(ReadText(file), before);

  // The leftover temporary file does not disturb the next write.
  WriteText(temp, "Windows Registry Editor Version 5.00\n\n[torn");
  hive->SetBeforeReplaceHook(nullptr);
  ASSERT_EQ(SetDword(*hive, kSettings, "Brightness", 300), STATUS_SUCCESS);
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_EQ(GetDword(*OpenOk(file), kSettings, "Brightness"), 300u);
}

TEST(Hive, DamagedFileIsKeptAsideWithOneWarning) {
  TempFolder tmp;
  fs::path file = tmp.path() / "settings.reg";
  const std::string garbage = "Windows Registry Editor Version 5.00\n\n[K]\n\"Brightness\"=dword:zz\n";
  WriteText(file, garbage);

  testing::internal::CaptureStderr();
  auto hive = OpenOk(file);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(hive);
  EXPECT_TRUE(hive->Snapshot().empty());
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(ReadText(fs::path(file) += ".bad"), garbage);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("damaged"), std::string::npos) << err;
  EXPECT_NE(err.find("line 4"), std::string::npos) << err;
  EXPECT_NE(err.find(".bad"), std::string::npos) << err;

  // Writes go on with a fresh file.
  ASSERT_EQ(SetDword(*hive, kSettings, "Brightness", 1), STATUS_SUCCESS);
  EXPECT_EQ(GetDword(*OpenOk(file), kSettings, "Brightness"), 1u);

  // Damaged again while in use: an earlier .bad copy is never overwritten.
  WriteText(file, "junk");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(GetDword(*hive, kSettings, "Brightness"));
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(ReadText(fs::path(file) += ".bad"), garbage);
  EXPECT_EQ(ReadText(fs::path(file) += ".bad.1"), "junk");
}

TEST(Hive, ChangesOfOtherWritersAreKept) {
  TempFolder tmp;
  fs::path file = tmp.path() / "settings.reg";
  auto a = OpenOk(file);
  auto b = OpenOk(file);
  ASSERT_EQ(SetDword(*a, kSettings, "Exposure", 1), STATUS_SUCCESS);
  ASSERT_EQ(SetDword(*b, kSettings, "Hue", 2), STATUS_SUCCESS);
  EXPECT_EQ(GetDword(*a, kSettings, "Hue"), 2u);  // reads see the other writer too
  ASSERT_EQ(SetDword(*a, kSettings, "Contrast", 3), STATUS_SUCCESS);
  auto fresh = OpenOk(file);
  EXPECT_EQ(GetDword(*fresh, kSettings, "Exposure"), 1u);
  EXPECT_EQ(GetDword(*fresh, kSettings, "Hue"), 2u);
  EXPECT_EQ(GetDword(*fresh, kSettings, "Contrast"), 3u);

  // An edit in place that keeps the inode, size and timestamp still reaches the next write.
  std::string text = ReadText(file);
  auto stamp = fs::last_write_time(file);
  size_t at = text.find("\"Exposure\"=dword:00000001");
  ASSERT_NE(at, std::string::npos);
  text[at + 24] = '9';
  WriteText(file, text);
  fs::last_write_time(file, stamp);
  ASSERT_EQ(SetDword(*a, kSettings, "Saturation", 4), STATUS_SUCCESS);
  EXPECT_EQ(GetDword(*OpenOk(file), kSettings, "Exposure"), 9u);

  // Another process writing at the same time as this one.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto mine = Hive::Open(file, nullptr);
    bool ok = mine != nullptr;
    for (int i = 0; i < 40 && ok; ++i) ok = SetDword(*mine, "HKLM\\Cam\\0001\\Settings", "C" + std::to_string(i), i) == 0;
    ::_exit(ok ? 0 : 1);
  }
  bool ok = true;
  for (int i = 0; i < 40; ++i) ok = ok && SetDword(*a, kSettings, "P" + std::to_string(i), i) == STATUS_SUCCESS;
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(ok);
  fresh = OpenOk(file);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(GetDword(*fresh, kSettings, "P" + std::to_string(i)), static_cast<uint32_t>(i));
    EXPECT_EQ(GetDword(*fresh, "HKLM\\Cam\\0001\\Settings", "C" + std::to_string(i)), static_cast<uint32_t>(i));
  }
}

TEST(Hive, FolderThatCannotBeCreatedIsReported) {
  TempFolder tmp;
  WriteText(tmp.path() / "plain", "not a folder");
  auto hive = OpenOk(tmp.path() / "plain" / "kscam" / "settings.reg");
  EXPECT_FALSE(NT_SUCCESS(SetDword(*hive, kSettings, "Hue", 1)));
  bool created = true;
  EXPECT_FALSE(NT_SUCCESS(hive->CreateKey(kDev, "Settings", &created)));
  std::string error = hive->TakeWriteError();
  EXPECT_NE(error.find("cannot create folder"), std::string::npos) << error;
  EXPECT_TRUE(hive->TakeWriteError().empty());
  EXPECT_FALSE(GetDword(*hive, kSettings, "Hue"));

  std::string open_error;
  fs::create_directory(tmp.path() / "dir.reg");
  EXPECT_FALSE(Hive::Open(tmp.path() / "dir.reg", &open_error));
  EXPECT_FALSE(open_error.empty());
}

TEST(HiveThreads, ConcurrentWritersLoseNothing) {
  TempFolder tmp;
  fs::path file = tmp.path() / "settings.reg";
  auto shared = OpenOk(file);
  auto other = OpenOk(file);  // a second view of the file, as another process would have
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Hive& hive = t == 3 ? *other : *shared;
      for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(SetDword(hive, kSettings, "T" + std::to_string(t) + "_" + std::to_string(i), i), STATUS_SUCCESS);
        GetDword(hive, kSettings, "T0_0");
      }
    });
  }
  for (auto& th : threads) th.join();
  auto fresh = OpenOk(file);
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 15; ++i)
      EXPECT_EQ(GetDword(*fresh, kSettings, "T" + std::to_string(t) + "_" + std::to_string(i)),
                static_cast<uint32_t>(i));
}

}  // namespace
}  // namespace kscam::host::registry
