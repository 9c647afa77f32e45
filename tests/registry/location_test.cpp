#include "host/registry/location.h"

#include "host/registry/hive.h"
#include "tests/registry/temp_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <optional>
#include <string>

namespace kscam::host::registry {
namespace {

// Sets or clears environment variables for one test and restores them afterwards.
class Env {
 public:
  ~Env() {
    for (auto& [name, old] : saved_) old ? ::setenv(name.c_str(), old->c_str(), 1) : ::unsetenv(name.c_str());
  }
  void Set(const char* name, const char* value) {
    if (!saved_.count(name)) {
      const char* old = ::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

std::string PathFor(std::string_view option) {
  std::string error;
  auto path = SettingsFilePath(option, &error);
  return path ? path->string() : "error: " + error;
}

TEST(SettingsLocation, OptionThenEnvironmentThenStateFolder) {
  Env env;
  env.Set("KSCAM_SETTINGS", "/env/s.reg");
  env.Set("XDG_STATE_HOME", "/xdg");
  env.Set("HOME", "/home/u");
  EXPECT_EQ(PathFor("opt.reg"), "opt.reg");
  EXPECT_EQ(PathFor(""), "/env/s.reg");
  env.Set("KSCAM_SETTINGS", "");  // empty counts as unset
  EXPECT_EQ(PathFor(""), "/xdg/kscam/settings.reg");
  env.Set("XDG_STATE_HOME", "relative/state");  // only absolute paths count
  EXPECT_EQ(PathFor(""), "/home/u/.local/state/kscam/settings.reg");
  env.Set("XDG_STATE_HOME", nullptr);
  EXPECT_EQ(PathFor(""), "/home/u/.local/state/kscam/settings.reg");
  env.Set("HOME", nullptr);  // falls back to the account's home folder
  EXPECT_EQ(PathFor("").rfind("/.local/state/kscam/settings.reg"),
            PathFor("").size() - std::string("/.local/state/kscam/settings.reg").size());
}

TEST(SettingsLocation, OpensTheHiveWhereTheRulesSay) {
  kscam::test::TempFolder tmp;
  Env env;
  env.Set("KSCAM_SETTINGS", nullptr);
  env.Set("XDG_STATE_HOME", tmp.path().c_str());
  std::string error;
  std::shared_ptr<Hive> hive = OpenSettingsHive("", &error);
  ASSERT_TRUE(hive) << error;
  uint8_t one[4] = {1, 0, 0, 0};
  ASSERT_EQ(hive->SetValue("K", "V", REG_DWORD, one), STATUS_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(tmp.path() / "kscam" / "settings.reg"));
}

}  // namespace
}  // namespace kscam::host::registry
