// Where the settings hive lives. In order: the tool's --settings FILE, the KSCAM_SETTINGS
// environment variable, $XDG_STATE_HOME/kscam/settings.reg (XDG_STATE_HOME counts only when
// it is an absolute path, as the XDG base-directory rules say), ~/.local/state/kscam/settings.reg.
// Empty settings are ignored like unset ones.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kscam::host::registry {

// `option` is the --settings argument, empty when not given. Fails only when no rule applies
// (no home folder can be found).
std::optional<std::filesystem::path> SettingsFilePath(std::string_view option, std::string* error);

class Hive;
// SettingsFilePath, then Hive::Open; null with a one-line message on failure.
std::shared_ptr<Hive> OpenSettingsHive(std::string_view option, std::string* error);

}  // namespace kscam::host::registry
