#include "tools/kscam/command.h"
#include "tools/kscam/convert_commands.h"

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
      {"convert", "convert a raw Bayer frame file into an image", "IN.raw --size WxH [--pitch N] [--phase 0..3] [--set NAME=VALUE]... -o OUT",
       "Converts a raw frame (one byte per sample, rows of PITCH bytes) with the driver's own "
       "conversion, starting from the colour defaults (gains 128, correction on, neutral controls, "
       "defect pass off). OUT ending in .png (RGB), .bmp (32-bit) or .bgra (raw BGRA), top row "
       "first. With WhiteBalance=1 the measured gains are printed.",
       {{"size", "WxH", "frame size, 8x8 up to 4608x3288 (required)"},
        {"pitch", "N", "bytes per raw row (default: the width)"},
        {"phase", "0..3", "Bayer phase: 0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG (default 0)"},
        {"set", "NAME=VALUE", "a colour control (ColorEnable, WhiteBalance, RedGain, GreenGain, BlueGain, "
                              "ColorCorrection, Brightness, Contrast, Saturation, Hue, Dot, DotThreshold); repeats"}},
       nullptr,
       RunConvertCommand},
      {"bench convert", "measure the frame conversion against memcpy and HQLinear", "[--runs N] [--size WxH]",
       "Converts a realistic full-sensor mosaic on one thread and prints one JSON object per line for "
       "the cases colour, grey, colour-wb and colour-dot, with a memcpy of one output frame and "
       "libdc1394's HQLinear (null when absent) measured in the same run; medians of several runs.",
       {{"runs", "N", "rounds to take the median of"}, {"size", "WxH", "frame size (default 4608x3288)"}},
       nullptr,
       RunBenchConvert},
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
