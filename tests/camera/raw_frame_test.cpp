// End to end through the emulated camera: raw frames of the programmed mode, converted with the
// Bayer phase the driver derived, show the chart in its true colours; exposure and gain scale
// the signal as the sensor responds; the external trigger holds frames.
#include <cmath>
#include <thread>

#include "camera/controls.h"
#include "camera/region.h"
#include "emulator/frame_counter.h"
#include "emulator/scene.h"
#include "tests/camera/camera_host.h"
#include "tests/convert/convert_test_support.h"

namespace kscam::camera_test {
namespace {

using convert_test::Converter;

// Exposure and gain code at which the raw samples are the scene's linear values x 255.
constexpr ULONG kUnityExposure = 1200;
constexpr ULONG kUnityGain = 32;

struct PatchCheck {
  int seen = 0;        // patches visible in the frame
  int coloured = 0;    // of them, with red and blue far apart
  int mismatched = 0;  // converted colour not the patch's
};

// Converts `raw` with `phase` and compares every visible chart patch's centre with its colour.
PatchCheck CheckPatches(const std::vector<uint8_t>& raw, const CameraDevice* cam, const emulator::Readout& readout,
                        ULONG phase) {
  const ULONG width = static_cast<ULONG>(cam->output_width);
  const ULONG height = static_cast<ULONG>(cam->output_height);
  Converter c(width, height);
  EXPECT_EQ(c.status(), STATUS_SUCCESS);
  SetConversionPath(c.get(), kConversionScalar);
  convert_test::IdentityMatrix(c.get());
  SetBayerPhase(c.get(), static_cast<LONG>(phase));
  c.Convert(raw, static_cast<ULONG>(cam->line_stride));

  const emulator::CounterStrip strip = emulator::CounterStripFor(width, height);
  PatchCheck check;
  for (const emulator::ChartPatch& patch : emulator::ChartPatches()) {
    auto at = emulator::PatchCentreInOutput(patch, readout);
    if (!at || at->second >= height) continue;
    const auto [x, y] = *at;
    if (strip.valid() && x + 4 >= strip.x0 && x < strip.x0 + strip.width() + 4 && y + 4 >= strip.y0 &&
        y < strip.y0 + strip.block + 4) {
      continue;
    }
    ++check.seen;
    const auto expect = [](float l) { return std::lround(std::min(1.0f, l) * 255.0f); };
    const convert_test::Bgra got = c.At(x, y);
    const long r = expect(patch.color.r), g = expect(patch.color.g), b = expect(patch.color.b);
    if (std::labs(r - b) > 30) ++check.coloured;
    if (std::labs(got.r - r) > 4 || std::labs(got.g - g) > 4 || std::labs(got.b - b) > 4) ++check.mismatched;
  }
  return check;
}

struct Case {
  const char* name;
  int x, y, w, h, sub;
  ULONG flip;
};

class RawFrames : public ::testing::TestWithParam<Case> {};

TEST_P(RawFrames, ShowTheChartInItsTrueColours) {
  const Case& k = GetParam();
  CameraHost host;
  CameraDevice* cam = host.cam();
  host.emulated().KeepFrameData(1);
  SetRegion(cam, k.x, k.y, k.w, k.h, k.sub);
  SetVerticalFlip(cam, k.flip);
  ASSERT_TRUE(SetExposure(cam, kUnityExposure));
  ASSERT_TRUE(SetGlobalGain(cam, kUnityGain));

  const std::vector<uint8_t> raw = CaptureRawFrame(cam);
  ASSERT_EQ(raw.size(), static_cast<size_t>(cam->frame_bytes));
  const auto frames = host.emulated().Frames();
  ASSERT_FALSE(frames.empty());
  const emulator::SentFrame& sent = frames.back();
  EXPECT_TRUE(sent.complete);
  EXPECT_EQ(sent.frame_bytes, static_cast<uint32_t>(cam->frame_bytes));
  EXPECT_EQ(sent.width, host.emulated().SensorRegister(0x034C));
  EXPECT_EQ(sent.height, host.emulated().SensorRegister(0x034E));
  EXPECT_EQ(static_cast<LONG>(sent.width), cam->output_width);
  EXPECT_GE(static_cast<LONG>(sent.height), cam->output_height);
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), sent.data.begin()));

  const emulator::Readout readout = host.emulated().CurrentReadout();
  EXPECT_EQ(readout.flip, k.flip != 0);
  const PatchCheck right = CheckPatches(raw, cam, readout, cam->settings.bayer_phase);
  EXPECT_GE(right.seen, 1);
  EXPECT_GE(right.coloured, 1);
  EXPECT_EQ(right.mismatched, 0);
  // The other phase swaps red and blue: the check notices.
  const PatchCheck swapped = CheckPatches(raw, cam, readout, 1 - cam->settings.bayer_phase);
  EXPECT_GE(swapped.mismatched, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RawFrames,
    ::testing::Values(Case{"FullSensor", 0, 0, 4608, 3288, 0, 0},
                      Case{"OddXOddY", 101, 301, 640, 480, 0, 0}, Case{"OddXOddYFlipped", 101, 301, 640, 480, 0, 1},
                      Case{"EvenXEvenYOddHeight", 100, 300, 640, 481, 0, 0},
                      Case{"EvenXEvenYOddHeightFlipped", 100, 300, 640, 481, 0, 1},
                      Case{"OddXEvenYFlipped", 545, 750, 700, 500, 0, 1},
                      Case{"EvenXOddYOddSize", 544, 751, 701, 501, 0, 0},
                      Case{"EvenXOddYOddSizeFlipped", 544, 751, 701, 501, 0, 1},
                      Case{"Half", 0, 0, 4608, 3288, 1, 0}, Case{"HalfFlipped", 0, 0, 4608, 3288, 1, 1},
                      Case{"Quarter", 0, 0, 4608, 3288, 2, 0}, Case{"QuarterFlipped", 0, 0, 4608, 3288, 2, 1}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A region touching the sensor's right and bottom edges at an origin that is not a multiple of
// 4: the window is kept on the active area, so the frame has no black border.
TEST(RawFrameEdges, RegionAtTheFarEdgesReadsNoBlack) {
  CameraHost host;
  CameraDevice* cam = host.cam();
  SetRegion(cam, 3969, 2801, 639, 487, 0);
  ASSERT_EQ(cam->settings.roi_w, 639);
  ASSERT_EQ(cam->settings.roi_h, 487);
  ASSERT_TRUE(SetExposure(cam, kUnityExposure));
  ASSERT_TRUE(SetGlobalGain(cam, kUnityGain));
  const std::vector<uint8_t> raw = CaptureRawFrame(cam);
  ASSERT_EQ(raw.size(), static_cast<size_t>(cam->frame_bytes));
  EXPECT_EQ(host.emulated().SensorRegister(0x0344), 3992);
  EXPECT_EQ(host.emulated().SensorRegister(0x0348), 4630);
  EXPECT_EQ(host.emulated().SensorRegister(0x0346), 2804);
  EXPECT_EQ(host.emulated().SensorRegister(0x034A), 3290);
  EXPECT_EQ(cam->settings.bayer_phase, 0u);
  const size_t w = 639, h = 487;
  size_t black = 0;
  for (size_t y = 0; y < h; ++y) black += raw[y * w + w - 1] < 10;
  for (size_t x = 0; x < w; ++x) black += raw[(h - 1) * w + x] < 10;
  EXPECT_EQ(black, 0u);
}

// A region inside the chart's mid-grey patch: every sample is the sensor's response to it.
class GreyPatch : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const emulator::ChartPatch& p : emulator::ChartPatches()) {
      if (p.color.r == 0.5f && p.color.g == 0.5f && p.color.b == 0.5f) patch_ = &p;
    }
    ASSERT_NE(patch_, nullptr);
    SetRegion(host.cam(), static_cast<LONG>(patch_->x0 + 100), static_cast<LONG>(patch_->y0 + 100), 200, 200, 0);
    host.cam()->ConfigureCaptureMode();
  }
  // Every sample of the next frames equals `expected` (the first frame after a change may
  // still have been exposed with the earlier values).
  void ExpectSamples(uint8_t expected) {
    std::vector<uint8_t> raw;
    for (int i = 0; i < 2; ++i) raw = ReadRawFrame(host.cam());
    ASSERT_EQ(raw.size(), static_cast<size_t>(host.cam()->frame_bytes));
    const size_t pixels = static_cast<size_t>(host.cam()->output_width) * host.cam()->output_height;
    size_t off = 0;
    for (size_t i = 0; i < pixels; ++i) off += raw[i] != expected;
    EXPECT_EQ(off, 0u) << "expected " << int(expected);
  }

  CameraHost host;
  const emulator::ChartPatch* patch_ = nullptr;
};

TEST_F(GreyPatch, ExposureAndGainScaleTheSignal) {
  struct Step {
    ULONG exposure, gain;
  };
  for (Step s : {Step{kUnityExposure, kUnityGain}, Step{600, kUnityGain}, Step{kUnityExposure, 0},
                 Step{600, 96}, Step{2400, 127}, Step{1, kUnityGain}}) {
    ASSERT_TRUE(SetExposure(host.cam(), s.exposure));
    ASSERT_TRUE(SetGlobalGain(host.cam(), s.gain));
    SCOPED_TRACE(testing::Message() << "exposure " << s.exposure << " gain " << s.gain);
    ExpectSamples(emulator::RawResponse(0.5, s.exposure, s.gain));
  }
  EXPECT_EQ(emulator::RawResponse(0.5, kUnityExposure, kUnityGain), 128);
  EXPECT_EQ(emulator::RawResponse(0.5, 2400, 127), 255);
}

TEST_F(GreyPatch, ExternalTriggerHoldsFramesUntilATrigger) {
  const LONG saved = ReadAcquire(&FrameTimeout);
  // A held frame is given a short wait; one that should come, the usual wait.
  auto read = [&](LONG timeout_ms) {
    InterlockedExchange(&FrameTimeout, timeout_ms);
    return !ReadRawFrame(host.cam()).empty();
  };
  ASSERT_TRUE(read(saved));
  SetExternalTrigger(host.cam(), 1);
  EXPECT_FALSE(read(300));
  const size_t sent = host.emulated().Frames().size();
  // The trigger comes while the read waits for its frame: once the camera has the frame-go
  // command of that read.
  const size_t mark = host.emulated().Commands().size();
  std::thread trigger([&] {
    for (int i = 0; i < 5000; ++i) {
      const auto commands = host.emulated().Commands();
      if (std::any_of(commands.begin() + mark, commands.end(), [](const auto& c) { return c.packet[0] == 0x03; })) {
        host.emulated().Trigger();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_TRUE(read(saved));
  trigger.join();
  EXPECT_EQ(host.emulated().Frames().size(), sent + 1);
  EXPECT_FALSE(read(300));
  SetExternalTrigger(host.cam(), 0);
  EXPECT_TRUE(read(saved));
  InterlockedExchange(&FrameTimeout, saved);
}

}  // namespace
}  // namespace kscam::camera_test
