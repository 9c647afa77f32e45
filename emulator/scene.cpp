#include "emulator/scene.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace kscam::emulator {
namespace {

constexpr uint32_t kPatchX0 = 96, kPatchY0 = 288, kPatchSize = 400, kPatchPitch = 448;
constexpr uint32_t kPatchColumns = 6, kPatchRows = 4;

constexpr ChartPatch P(const char* name, uint32_t col, uint32_t row, float r, float g, float b) {
  return ChartPatch{name,
                    kPatchX0 + col * kPatchPitch,
                    kPatchY0 + row * kPatchPitch,
                    kPatchX0 + col * kPatchPitch + kPatchSize,
                    kPatchY0 + row * kPatchPitch + kPatchSize,
                    LinearRgb{r, g, b}};
}

constexpr std::array<ChartPatch, kPatchColumns * kPatchRows> kPatches = {
    P("red", 0, 0, 0.70f, 0.08f, 0.06f),        P("green", 1, 0, 0.08f, 0.60f, 0.10f),
    P("blue", 2, 0, 0.06f, 0.10f, 0.65f),       P("cyan", 3, 0, 0.08f, 0.55f, 0.60f),
    P("magenta", 4, 0, 0.60f, 0.08f, 0.55f),    P("yellow", 5, 0, 0.70f, 0.65f, 0.08f),
    P("orange", 0, 1, 0.75f, 0.35f, 0.05f),     P("purple", 1, 1, 0.30f, 0.10f, 0.55f),
    P("skin", 2, 1, 0.55f, 0.35f, 0.28f),       P("foliage", 3, 1, 0.15f, 0.30f, 0.08f),
    P("sky", 4, 1, 0.20f, 0.35f, 0.60f),        P("teal", 5, 1, 0.05f, 0.40f, 0.35f),
    P("dark red", 0, 2, 0.35f, 0.04f, 0.04f),   P("dark green", 1, 2, 0.04f, 0.30f, 0.05f),
    P("dark blue", 2, 2, 0.04f, 0.05f, 0.32f),  P("pink", 3, 2, 0.75f, 0.40f, 0.50f),
    P("lime", 4, 2, 0.45f, 0.70f, 0.15f),       P("violet", 5, 2, 0.50f, 0.30f, 0.75f),
    P("white", 0, 3, 0.90f, 0.90f, 0.90f),      P("light grey", 1, 3, 0.70f, 0.70f, 0.70f),
    P("mid grey", 2, 3, 0.50f, 0.50f, 0.50f),   P("dark grey", 3, 3, 0.30f, 0.30f, 0.30f),
    P("darker grey", 4, 3, 0.15f, 0.15f, 0.15f), P("black", 5, 3, 0.03f, 0.03f, 0.03f),
};

uint16_t ToCode(float l) {
  if (!(l > 0.0f)) return 0;
  if (l >= 1.0f) return 65535;
  return uint16_t(std::lround(l * 65535.0f));
}

float SrgbToLinear(float v) {
  return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

}  // namespace

std::span<const ChartPatch> ChartPatches() { return kPatches; }

LinearRgb ChartColorAt(uint32_t x, uint32_t y) {
  if (x >= kPatchX0 && y >= kPatchY0) {
    uint32_t gx = (x - kPatchX0) / kPatchPitch, gy = (y - kPatchY0) / kPatchPitch;
    if (gx < kPatchColumns && gy < kPatchRows && (x - kPatchX0) % kPatchPitch < kPatchSize &&
        (y - kPatchY0) % kPatchPitch < kPatchSize)
      return kPatches[gy * kPatchColumns + gx].color;
  }
  if (x >= kRampX0 && x < kRampX1 && y >= kRampY0 && y < kRampY1) {
    float v = float(x - kRampX0) / float(kRampX1 - kRampX0 - 1);
    return {v, v, v};
  }
  float dx = float(x) + 0.5f - float(kStarCenterX), dy = float(y) + 0.5f - float(kStarCenterY);
  if (dx * dx + dy * dy < float(kStarRadius) * float(kStarRadius)) {
    constexpr float kPi = 3.14159265358979f;
    float a = std::atan2(dy, dx) + kPi;  // 0 .. 2 pi
    auto sector = uint32_t(a / (kPi / kStarSpokes)) % (2 * kStarSpokes);
    float v = (sector & 1) ? 0.05f : 0.85f;
    return {v, v, v};
  }
  float bg = float(kChartBackgroundMilli) / 1000.0f;
  return {bg, bg, bg};
}

std::optional<std::pair<uint32_t, uint32_t>> PatchCentreInOutput(const ChartPatch& patch, const Readout& readout) {
  constexpr uint32_t kMargin = 8;  // output pixels kept from the image's edges
  int64_t cx = int64_t(patch.x0 + patch.x1) / 2 + kArrayFirstColumn;
  int64_t cy = int64_t(patch.y0 + patch.y1) / 2 + kArrayFirstRow;
  // Stay inside the patch's central half, nearest rows first.
  int64_t reach_x = (patch.x1 - patch.x0) / 4, reach_y = (patch.y1 - patch.y0) / 4;
  for (int64_t dy = 0; dy <= reach_y; ++dy)
    for (int64_t dx = 0; dx <= reach_x; ++dx)
      for (int64_t sy : {1, -1})
        for (int64_t sx : {1, -1}) {
          auto pos = readout.OutputOf(cx + sx * dx, cy + sy * dy);
          if (pos && pos->first >= kMargin && pos->second >= kMargin && pos->first + kMargin < readout.width &&
              pos->second + kMargin < readout.height)
            return pos;
        }
  return std::nullopt;
}

std::shared_ptr<const Scene> Scene::TestChart() {
  std::shared_ptr<Scene> s(new Scene());
  for (uint32_t y = 0; y < kArrayHeight; ++y) {
    uint16_t* row = s->cfa_.data() + size_t(y) * kArrayWidth;
    for (uint32_t x = 0; x < kArrayWidth; ++x)
      row[x] = ToCode(ChartColorAt(x, y).Channel(ColorAt(x, y)));
  }
  return s;
}

std::shared_ptr<const Scene> Scene::Uniform(LinearRgb color) {
  std::shared_ptr<Scene> s(new Scene());
  uint16_t r = ToCode(color.r), g = ToCode(color.g), b = ToCode(color.b);
  for (uint32_t y = 0; y < kArrayHeight; ++y) {
    uint16_t* row = s->cfa_.data() + size_t(y) * kArrayWidth;
    uint16_t even = (y & 1) ? b : g, odd = (y & 1) ? g : r;
    for (uint32_t x = 0; x < kArrayWidth; x += 2) {
      row[x] = even;
      row[x + 1] = odd;
    }
  }
  return s;
}

std::shared_ptr<const Scene> Scene::FromSrgb(const uint8_t* rgb, uint32_t width, uint32_t height) {
  if (!rgb || width == 0 || height == 0) return nullptr;
  std::array<float, 256> linear;
  for (int i = 0; i < 256; ++i) linear[i] = SrgbToLinear(float(i) / 255.0f);
  std::shared_ptr<Scene> s(new Scene());
  // Bilinear stretch of the image over the array; each pixel takes only the channel its
  // colour filter passes.
  const float sx = float(width) / float(kArrayWidth), sy = float(height) / float(kArrayHeight);
  std::vector<uint32_t> x0s(kArrayWidth), x1s(kArrayWidth);
  std::vector<float> fxs(kArrayWidth);
  for (uint32_t x = 0; x < kArrayWidth; ++x) {
    float fx = std::clamp((float(x) + 0.5f) * sx - 0.5f, 0.0f, float(width - 1));
    x0s[x] = uint32_t(fx);
    x1s[x] = std::min(x0s[x] + 1, width - 1);
    fxs[x] = fx - float(x0s[x]);
  }
  for (uint32_t y = 0; y < kArrayHeight; ++y) {
    float fy = std::clamp((float(y) + 0.5f) * sy - 0.5f, 0.0f, float(height - 1));
    uint32_t y0 = uint32_t(fy), y1 = std::min(y0 + 1, height - 1);
    float wy = fy - float(y0);
    const uint8_t* r0 = rgb + size_t(y0) * width * 3;
    const uint8_t* r1 = rgb + size_t(y1) * width * 3;
    uint16_t* out = s->cfa_.data() + size_t(y) * kArrayWidth;
    for (uint32_t x = 0; x < kArrayWidth; ++x) {
      uint32_t ch = uint32_t(ColorAt(x, y));  // 0 red, 1 green, 2 blue: the byte order of rgb
      float wx = fxs[x];
      float top = linear[r0[x0s[x] * 3 + ch]] * (1 - wx) + linear[r0[x1s[x] * 3 + ch]] * wx;
      float bottom = linear[r1[x0s[x] * 3 + ch]] * (1 - wx) + linear[r1[x1s[x] * 3 + ch]] * wx;
      out[x] = ToCode(top * (1 - wy) + bottom * wy);
    }
  }
  return s;
}

}  // namespace kscam::emulator
