#include "tools/kscam/command.h"
#include "tools/kscam/convert_commands.h"

namespace kscam::tool {
namespace {

// The options of every command that runs a stream.
std::vector<OptionSpec> StreamOptions(std::vector<OptionSpec> own) {
  std::vector<OptionSpec> common = {
      {"region", "X,Y,W,H[,S]", "capture region and subsampling, set through the Region control", "the stored region"},
      {"set", "NAME=VALUE", "a control set before the stream starts (saved, as with 'kscam set'); repeats",
       "the stored settings", 0, true},
      {"scene", "chart|FILE", "what the emulated camera sees: the built-in test chart or a PNG or JPEG file",
       "chart"},
      {"speed", "realtime|max", "the emulated camera's pace: its real frame rate, or as fast as it can",
       "realtime"},
      {"trigger-ms", "N", "fire the emulated camera's trigger every N ms (it waits for one with ExTrigger=1)",
       "no trigger"},
      {"timeout-ms", "MS", "how long to wait for each frame before giving up", "5000"},
  };
  own.insert(own.end(), common.begin(), common.end());
  return own;
}

}  // namespace

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
      {"capture", "capture frames into image files", "[OPTIONS]",
       "Starts the camera with the stored settings, applies --set and --region, runs the capture pin "
       "and writes each delivered frame as DIR/frame-NNNNNN.EXT, NNNNNN its frame number (top row "
       "first: PNG RGB, BMP 32-bit or raw BGRA), and DIR/capture.json with the format, the controls "
       "as they stood and each frame's number, time stamp and the camera's own frame number. Ends "
       "with a line of frames, frames per second and frames lost (gaps in the numbers).",
       StreamOptions({{"count", "N", "frames to capture", "1", 'n'},
                      {"output", "DIR", "folder for the files, made when missing", "./frames", 'o'},
                      {"format", "png|bmp|bgra", "image file format", "png"},
                      {"raw", nullptr, "also write DIR/frame-NNNNNN.raw: the bytes the camera sent for the frame",
                       "off"}}),
       RunCapture},
      {"stream", "write raw BGRA frames to standard output", "[OPTIONS]",
       "Runs the capture pin and writes each frame as raw BGRA, top row first, to standard output, "
       "for ffmpeg or GStreamer; the format goes to standard error first. Stops cleanly on Ctrl-C "
       "or when the reader closes the pipe.",
       StreamOptions({{"count", "N", "frames to write; 0 runs until interrupted", "0", 'n'}}),
       RunStream},
      {"convert", "convert a raw Bayer frame file into an image", "IN.raw --size WxH [--pitch N] [--phase 0..3] [--set NAME=VALUE]... -o OUT",
       "Converts a raw frame (one byte per sample, rows of PITCH bytes) with the driver's own "
       "conversion, starting from the colour defaults (gains 128, correction on, neutral controls, "
       "defect pass off). OUT ending in .png (RGB), .bmp (32-bit) or .bgra (raw BGRA), top row "
       "first. With WhiteBalance=1 the measured gains are printed.",
       {{"size", "WxH", "frame size, 8x8 up to 4608x3288", "required"},
        {"pitch", "N", "bytes per raw row", "the width"},
        {"phase", "0..3", "Bayer phase: 0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG", "0"},
        {"set", "NAME=VALUE", "a colour control (ColorEnable, WhiteBalance, RedGain, GreenGain, BlueGain, "
                              "ColorCorrection, Brightness, Contrast, Saturation, Hue, Dot, DotThreshold); repeats",
         "the colour defaults", 0, true},
        {"output", "OUT", "the image file, .png, .bmp or .bgra", "required", 'o'}},
       nullptr,
       RunConvertCommand},
      {"bench convert", "measure the frame conversion against memcpy and HQLinear",
       "[--runs N] [--size WxH] [--path NAME]",
       "Converts a realistic full-sensor mosaic on one thread and prints one JSON object per line for "
       "the cases colour, grey, colour-wb and colour-dot, with a memcpy of one output frame and "
       "libdc1394's HQLinear (null when absent) measured in the same run; medians of several runs. "
       "\"path\" names the conversion path that ran.",
       {{"runs", "N", "rounds to take the median of", "9"},
        {"size", "WxH", "frame size", "4608x3288"},
        {"path", "NAME", "conversion path: automatic, scalar, sse2, avx2 or avx512; one the processor lacks "
                         "runs narrower", "automatic"}},
       nullptr,
       RunBenchConvert},
      {"bench stream", "measure frames per second delivered through the whole stack", "[--count N]",
       "Streams the full sensor from an emulated camera running as fast as it can to a client that "
       "discards the frames, with a fresh settings file of its own (yours is not touched), and prints "
       "one JSON object: frames per second delivered, processor seconds per frame (the whole process: "
       "camera, driver and client), and a memcpy of one frame measured in the same run.",
       {{"count", "N", "frames to take", "30", 'n'}},
       RunBenchStream},
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
  if (it == values.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

std::vector<std::string> Args::Values(const std::string& name) const {
  auto it = values.find(name);
  return it == values.end() ? std::vector<std::string>{} : it->second;
}

}  // namespace kscam::tool
