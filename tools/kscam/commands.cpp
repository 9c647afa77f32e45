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
      {"list-ctrls", "list the camera's controls with their access and current values", "",
       "Starts the camera with the stored settings and prints one line per control of its property "
       "set, in id order: id, name, access (get, set, get/set) and the current value or constant "
       "(blank for controls that cannot be read as a value).",
       {},
       RunListControls},
      {"get", "print controls as NAME=VALUE", "NAME...",
       "Prints each named control (names as 'list-ctrls' shows them, any case) as NAME=VALUE, read "
       "from the camera started with the stored settings.",
       {},
       RunGet},
      {"set", "change controls, then print each as read back", "NAME=VALUE...",
       "Sets each control in the order given (values decimal or 0x hex; negative values are taken as "
       "32-bit numbers), then reads each back and prints NAME=VALUE. The settings are saved when "
       "the filter closes.",
       {},
       RunSet},
      {"region", "set the capture region and subsampling", "X,Y,W,H[,S]",
       "Sets the region of interest (S: subsampling 0, 1 or 2; 0 when left out) and prints the "
       "region the camera took.",
       {},
       RunRegion},
      {"reinit", "re-initialise the camera from the stored settings", "",
       "Sends the initialise command and the sensor program again, then loads the stored settings.",
       {},
       RunReinit},
      {"reg", "read or write a sensor register", "read ADDR | write ADDR VALUE",
       "Reads a 16-bit sensor register, or writes one and prints the value read back.",
       {},
       RunRegister},
      {"mem", "read a byte of the camera's memory", "ADDR",
       "Reads one byte of the camera's 64 KiB device memory.",
       {},
       RunMemory},
      {"raw-cmd", "send a raw command to the camera", "BYTE...",
       "Sends command 0x40 followed by up to 63 bytes; the camera does not answer it.",
       {},
       RunRawCommand},
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
