// The stream commands as a user runs them, end to end: emulated camera, USB stack, driver, KS
// host, client and the tool, each run a new process.
#include <png.h>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "emulator/frame_counter.h"
#include "emulator/scene.h"
#include "emulator/sensor.h"
#include "tests/tool/tool_run.h"

namespace {

namespace fs = std::filesystem;
namespace emulator = kscam::emulator;
using CaptureTool = ToolTest;

// Every "key": NUMBER of a capture.json, in order (null values are skipped).
std::vector<long long> Numbers(const std::string& json, const std::string& key) {
  std::vector<long long> out;
  const std::string pattern = "\"" + key + "\": ";
  for (size_t at = json.find(pattern); at != std::string::npos; at = json.find(pattern, at + 1)) {
    const char* start = json.c_str() + at + pattern.size();
    char* end = nullptr;
    const long long v = std::strtoll(start, &end, 10);
    if (end != start) out.push_back(v);
  }
  return out;
}

std::vector<uint8_t> Bytes(const fs::path& file) {
  const std::string text = ToolTest::Read(file);
  return std::vector<uint8_t>(text.begin(), text.end());
}

TEST_F(CaptureTool, FramesJsonAndRawFilesAgreeWithTheCameraAndTheConversion) {
  // A flipped region of even height starts on a blue-green line: phase 1.
  const ToolRun r = Kscam("capture -n 3 --speed max --format bgra --raw -o out --region 96,288,1024,512 "
                          "--set FlipV=1 --set Exposure=1200 --set GlobalGain=32");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("captured 3 frames of 1024x512 into ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find(", 0 frames lost"), std::string::npos) << r.out;

  const std::string json = Read(folder_ / "out" / "capture.json");
  EXPECT_EQ(Numbers(json, "width"), std::vector<long long>{1024});
  EXPECT_EQ(Numbers(json, "height"), std::vector<long long>{512});
  EXPECT_EQ(Numbers(json, "bayer_phase"), std::vector<long long>{1});
  size_t at = 0;
  for (const char* item : {"ColorEnable", "WhiteBalance", "RedGain", "GreenGain", "BlueGain", "ColorCorrection",
                           "Brightness", "Contrast", "Saturation", "Hue", "Dot", "DotThreshold", "Exposure",
                           "GlobalGain", "FlipV", "SubSample", "RoiX", "RoiY", "RoiW", "RoiH"}) {
    at = json.find(std::string("\"") + item + "\": ", at);
    ASSERT_NE(at, std::string::npos) << item << "\n" << json;
  }
  for (const auto& [item, value] : std::map<std::string, long long>{
           {"Exposure", 1200}, {"FlipV", 1}, {"RoiX", 96}, {"RoiY", 288}, {"RoiW", 1024}, {"RoiH", 512}}) {
    EXPECT_EQ(Numbers(json, item), std::vector<long long>{value}) << item;
  }
  const auto numbers = Numbers(json, "picture_number");
  const auto camera_frames = Numbers(json, "camera_frame");
  ASSERT_EQ(numbers.size(), 3u) << json;
  ASSERT_EQ(camera_frames.size(), 3u) << json;
  EXPECT_EQ(numbers.front(), 1);
  for (size_t i = 0; i < 3; ++i) {
    if (i > 0) {
      EXPECT_GT(numbers[i], numbers[i - 1]);
      EXPECT_GT(camera_frames[i], camera_frames[i - 1]);
    }
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06lld", numbers[i]);
    const fs::path image = folder_ / "out" / (std::string(name) + ".bgra");
    const fs::path raw = folder_ / "out" / (std::string(name) + ".raw");
    ASSERT_EQ(fs::file_size(image), 1024u * 512 * 4) << image;
    ASSERT_EQ(fs::file_size(raw), 1024u * 512) << raw;
    // The raw file is the camera's frame for this picture: its counter strip says so ...
    const std::vector<uint8_t> raw_bytes = Bytes(raw);
    EXPECT_EQ(emulator::DecodeCounter(raw_bytes.data(), 1024, 512), static_cast<uint32_t>(camera_frames[i]));
    // ... and converting it with the phase and the colour controls the capture recorded gives
    // the delivered picture, byte for byte.
    const ToolRun conv = Kscam("convert out/" + std::string(name) + ".raw --size 1024x512 --phase 1 -o again.bgra");
    ASSERT_EQ(conv.status, 0) << conv.err;
    EXPECT_TRUE(Bytes(image) == Bytes(folder_ / "again.bgra")) << name;
  }
  // The changes went through the property set and were saved like any other.
  EXPECT_EQ(Kscam("get Exposure FlipV RoiW").out, "Exposure=1200\nFlipV=1\nRoiW=1024\n");
}

TEST_F(CaptureTool, ATriggeredCameraDeliversWhenTheToolFiresItsTrigger) {
  const ToolRun r = Kscam("capture -n 3 --speed max --set ExTrigger=1 --trigger-ms 20 --region 0,0,640,480 "
                          "--format bgra -o triggered");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("captured 3 frames of 640x480", 0), 0u) << r.out;
  EXPECT_EQ(Numbers(Read(folder_ / "triggered" / "capture.json"), "picture_number").size(), 3u);
}

TEST_F(CaptureTool, DarkFramesGetAHintAndBmpFilesAreBottomUp) {
  const ToolRun r = Kscam("capture -n 1 --speed max --format bmp -o dark --region 0,0,640,480 --set Exposure=1 "
                          "--set GlobalGain=0");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.ErrLines(), 1) << r.err;
  EXPECT_NE(r.err.find("raise Exposure or GlobalGain"), std::string::npos) << r.err;
  const std::vector<uint8_t> bmp = Bytes(folder_ / "dark" / "frame-000001.bmp");
  ASSERT_EQ(bmp.size(), 54u + 640 * 480 * 4);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[28], 32);  // bits per pixel
}

TEST_F(CaptureTool, StreamWritesFramesToAPipeAndStopsWhenTheReaderGoes) {
  const std::string settings = " --settings '" + settings_.string() + "' ";
  ToolRun r = Kscam("stream -n 2 --speed max --region 0,0,320,240");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.size(), 2u * 320 * 240 * 4);
  EXPECT_NE(r.err.find("320x240 bgra"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("-video_size 320x240"), std::string::npos) << r.err;
  // The counter strip reads back from the delivered picture, top row first.
  const auto number = emulator::DecodeCounterBgra(reinterpret_cast<const uint8_t*>(r.out.data()), 320 * 4, 320, 240, 320);
  EXPECT_TRUE(number.has_value());

  // A reader that stops after a few bytes ends an endless stream cleanly.
  r = Shell("( " + std::string(tool()) + settings + "stream --speed max --region 0,0,320,240 2>stderr.txt; echo $? >status.txt ) | head -c 1000 >/dev/null");
  EXPECT_EQ(Read(folder_ / "status.txt"), "0\n") << r.err;
  // Ctrl-C does too, and the settings are saved on the way out.
  r = Shell(std::string(tool()) + settings + "stream --speed realtime --region 0,0,320,240 >/dev/null 2>stderr.txt & pid=$!; "
            "for i in $(seq 600); do grep -q bgra stderr.txt 2>/dev/null && break; sleep 0.05; done; sleep 0.3; "
            "kill -INT $pid; wait $pid; echo $?");
  EXPECT_EQ(r.out, "0\n") << r.err;
  EXPECT_EQ(r.ErrLines(), 1) << r.err;
  EXPECT_EQ(Kscam("get RoiW").out, "RoiW=320\n");
}

TEST_F(CaptureTool, BenchStreamReportsTheFullSensorWithoutTouchingTheSettings) {
  ASSERT_EQ(Kscam("set Brightness=300").status, 0);
  const std::string before = Read(settings_);
  const ToolRun r = Kscam("bench stream -n 3");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"case\": \"stream\", \"width\": 4608, \"height\": 3288, \"frames\": 3, ", 0), 0u) << r.out;
  for (const char* key : {"\"fps\": ", "\"cpu_s_per_frame\": ", "\"frames_lost\": ", "\"ratio_memcpy\": "}) {
    EXPECT_NE(r.out.find(key), std::string::npos) << key << " in " << r.out;
  }
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
  EXPECT_EQ(Read(settings_), before);
}

// The picture of `make run`: the chart well exposed at full resolution, read back from its PNG.
TEST_F(CaptureTool, TheChartComesOutInBelievableColours) {
  const ToolRun r = Kscam("capture -n 1 --speed max --region 0,0,4608,3288 --set Exposure=1200 --set GlobalGain=32 "
                          "-o frames");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  const std::string file = (folder_ / "frames" / "frame-000001.png").string();
  ASSERT_TRUE(png_image_begin_read_from_file(&image, file.c_str())) << image.message;
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) << image.message;
  ASSERT_EQ(image.width, 4608u);
  ASSERT_EQ(image.height, 3288u);

  emulator::Readout full;
  full.x_start = emulator::kArrayFirstColumn;
  full.x_end = emulator::kArrayLastColumn;
  full.y_start = emulator::kArrayFirstRow;
  full.y_end = emulator::kArrayLastRow;
  full.width = 4608;
  full.height = 3288;
  struct Mean {
    double r, g, b;
  };
  std::map<std::string, Mean> patches;
  for (const emulator::ChartPatch& patch : emulator::ChartPatches()) {
    const auto centre = emulator::PatchCentreInOutput(patch, full);
    ASSERT_TRUE(centre) << patch.name;
    Mean m{0, 0, 0};
    int n = 0;
    for (uint32_t y = centre->second - 40; y < centre->second + 40; ++y) {
      for (uint32_t x = centre->first - 40; x < centre->first + 40; ++x, ++n) {
        const uint8_t* p = rgb.data() + (static_cast<size_t>(y) * 4608 + x) * 3;
        m.r += p[0], m.g += p[1], m.b += p[2];
      }
    }
    patches[patch.name] = {m.r / n, m.g / n, m.b / n};
  }
  // Greys are neutral and ordered, white not clipped, black not crushed.
  double previous = 256;
  for (const char* grey : {"white", "light grey", "mid grey", "dark grey", "darker grey", "black"}) {
    const Mean& m = patches[grey];
    EXPECT_LE(std::max({m.r, m.g, m.b}) - std::min({m.r, m.g, m.b}), 4.0) << grey << " " << m.r << " " << m.g << " " << m.b;
    EXPECT_LT(m.g, previous) << grey;
    previous = m.g;
  }
  EXPECT_LT(patches["white"].g, 254.0);
  EXPECT_GT(patches["mid grey"].g, 80.0);
  // Colours go round the hue circle in the chart's order, each near its true hue.
  auto hue = [](double r, double g, double b) {
    // Degrees from -30 (a red leaning to magenta) to 330.
    const double h = std::atan2(std::sqrt(3.0) * (g - b), 2 * r - g - b) * 180 / M_PI;
    return h < -30 ? h + 360 : h;
  };
  double last = -1;
  for (const char* name : {"red", "orange", "yellow", "lime", "green", "teal", "cyan", "sky", "blue", "violet",
                           "magenta"}) {
    const Mean& m = patches[name];
    const emulator::LinearRgb truth = [&] {
      for (const auto& p : emulator::ChartPatches())
        if (std::string(p.name) == name) return p.color;
      return emulator::LinearRgb{};
    }();
    const double measured = hue(m.r, m.g, m.b);
    const double expected = hue(truth.r, truth.g, truth.b);
    double off = std::fabs(measured - expected);
    off = std::min(off, 360 - off);
    EXPECT_LT(off, 20.0) << name << ": hue " << measured << ", truly " << expected;
    EXPECT_GT(measured, last) << name;
    last = measured;
  }
}

}  // namespace
