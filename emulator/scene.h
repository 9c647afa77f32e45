// What the emulated camera looks at: a scene in linear light (1.0 = white), already sampled
// through the colour filter of the pixel array, one 16-bit value per active pixel
// (0..65535 = 0.0..1.0). A scene is immutable once made and may be shared between cameras.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/sensor.h"

namespace kscam::emulator {

// Linear-light colour, 0..1 per channel.
struct LinearRgb {
  float r = 0, g = 0, b = 0;
  float Channel(CfaColor c) const { return c == CfaColor::Red ? r : c == CfaColor::Green ? g : b; }
};

// One colour patch of the built-in test chart. The rectangle is in active-pixel coordinates
// (0..4607, 0..3287; add 24 and 4 for array addresses), end exclusive.
struct ChartPatch {
  const char* name;
  uint32_t x0, y0, x1, y1;
  LinearRgb color;
};

// The built-in test chart, 4608 x 3288 active pixels:
// - background: neutral grey, linear 0.2;
// - 24 colour patches of 400 x 400 pixels on a 448-pixel pitch, 6 columns by 4 rows, from
//   (96, 288); the last row is a grey scale from white (0.9) to black (0.03) with the mid grey
//   (0.5) third;
// - a horizontal grey ramp over x 96..4511, y 2300..2699: linear (x - 96) / 4415, 0 to 1;
// - a resolution star of 36 black (0.05) / white (0.85) spoke pairs, centre (3650, 1100),
//   radius 800.
// The frame-counter strip is not part of the scene: the camera stamps it onto each frame.
std::span<const ChartPatch> ChartPatches();
inline constexpr uint32_t kChartBackgroundMilli = 200;  // 0.2
inline constexpr uint32_t kRampX0 = 96, kRampX1 = 4512, kRampY0 = 2300, kRampY1 = 2700;
inline constexpr uint32_t kStarCenterX = 3650, kStarCenterY = 1100, kStarRadius = 800;
inline constexpr uint32_t kStarSpokes = 36;
// The chart's true colour at an active pixel (what a perfect camera would see there).
LinearRgb ChartColorAt(uint32_t x, uint32_t y);
// Where a patch shows in the output of a readout: the read pixel nearest to the patch's centre
// that lies in the patch's central half and at least 8 pixels inside the output (so that its
// neighbourhood shows the patch too); nothing when the readout does not see the patch.
std::optional<std::pair<uint32_t, uint32_t>> PatchCentreInOutput(const ChartPatch& patch, const Readout& readout);

class Scene {
 public:
  // The built-in test chart.
  static std::shared_ptr<const Scene> TestChart();
  // One colour over the whole array.
  static std::shared_ptr<const Scene> Uniform(LinearRgb color);
  // A PNG or JPEG file (told apart by content), its sRGB values turned into linear light and
  // stretched over the whole array. Null with a message in *error when it cannot be read.
  static std::shared_ptr<const Scene> FromImageFile(const std::string& path, std::string* error);
  // An image given as 8-bit sRGB triplets (row-major, no padding), stretched likewise.
  static std::shared_ptr<const Scene> FromSrgb(const uint8_t* rgb, uint32_t width, uint32_t height);

  // Linear value (0..65535) through the colour filter at active pixel (x, y).
  uint16_t Sample(uint32_t x, uint32_t y) const { return cfa_[size_t(y) * kArrayWidth + x]; }
  const uint16_t* Row(uint32_t y) const { return cfa_.data() + size_t(y) * kArrayWidth; }

 private:
  Scene() : cfa_(size_t(kArrayWidth) * kArrayHeight) {}
  std::vector<uint16_t> cfa_;
};

}  // namespace kscam::emulator
