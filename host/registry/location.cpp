#include "host/registry/location.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "host/registry/hive.h"

namespace kscam::host::registry {

namespace {

std::string_view Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string_view(v) : std::string_view();
}

std::string HomeFolder() {
  std::string_view home = Env("HOME");
  if (!home.empty()) return std::string(home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw;
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] != '\0')
    return found->pw_dir;
  return {};
}

}  // namespace

std::optional<std::filesystem::path> SettingsFilePath(std::string_view option, std::string* error) {
  if (!option.empty()) return std::filesystem::path(option);
  std::string_view env = Env("KSCAM_SETTINGS");
  if (!env.empty()) return std::filesystem::path(env);
  std::filesystem::path state(Env("XDG_STATE_HOME"));
  if (state.is_absolute()) return state / "kscam" / "settings.reg";
  std::string home = HomeFolder();
  if (home.empty()) {
    if (error) *error = "cannot find a home folder for the settings file; use --settings FILE or KSCAM_SETTINGS";
    return std::nullopt;
  }
  return std::filesystem::path(home) / ".local" / "state" / "kscam" / "settings.reg";
}

std::shared_ptr<Hive> OpenSettingsHive(std::string_view option, std::string* error) {
  std::optional<std::filesystem::path> path = SettingsFilePath(option, error);
  return path ? Hive::Open(*path, error) : nullptr;
}

}  // namespace kscam::host::registry
