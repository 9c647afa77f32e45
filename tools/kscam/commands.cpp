#include "tools/kscam/command.h"

namespace kscam::tool {

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"info", "start a host with one camera and show what it sees", "",
       "Loads the driver into a host with one camera slot, adds and starts the camera, prints the "
       "device state, its filter factories and the capture pin's data range, then stops and removes "
       "the camera. Exits 0 when the verifier found nothing wrong, 1 with its report otherwise.",
       {},
       RunInfo},
  };
  return commands;
}

bool Args::Flag(const std::string& name) const {
  for (const auto& flag : flags) {
    if (flag == name) return true;
  }
  return false;
}

std::optional<std::string> Args::Value(const std::string& name) const {
  auto it = values.find(name);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

}  // namespace kscam::tool
