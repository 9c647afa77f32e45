// Turning the scene into the sensor's output image: the mosaic of one programming (readout,
// exposure, gain, defect pixels), rendered once and reused for every frame, and the cheap
// per-frame noise laid over it while a frame is sent.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "emulator/scene.h"
#include "emulator/sensor.h"

namespace kscam::emulator {

// A defect pixel at an array address: hot reads 255, dead reads 0, whatever the light.
struct Defect {
  uint32_t x, y;
  bool hot;
  bool operator<(const Defect& o) const { return y != o.y ? y < o.y : x < o.x; }
  bool operator==(const Defect&) const = default;
};

// A seeded sprinkling of `rate` x (active pixels) defects over the active area, half of them
// hot; sorted by row, then column.
std::vector<Defect> MakeDefects(uint64_t seed, double rate);

// The noise-free output image of one programming of the sensor.
class Mosaic {
 public:
  // Rows that hold the first `bytes_needed` bytes of the output are rendered at once when they
  // fit `budget` bytes; otherwise rows are rendered on demand by RenderRow.
  Mosaic(std::shared_ptr<const Scene> scene, const Readout& readout, uint32_t exposure,
         uint32_t gain_code, std::shared_ptr<const std::vector<Defect>> defects,
         uint64_t bytes_needed, uint64_t budget = 64ull << 20);

  uint32_t width() const { return readout_.width; }
  uint32_t height() const { return readout_.height; }
  const Readout& readout() const { return readout_; }
  // Row r if it was rendered in advance, else null.
  const uint8_t* Row(uint32_t r) const {
    return r < rendered_rows_ ? pixels_.data() + size_t(r) * readout_.width : nullptr;
  }
  void RenderRow(uint32_t r, uint8_t* dst) const;

 private:
  std::shared_ptr<const Scene> scene_;
  Readout readout_;
  std::shared_ptr<const std::vector<Defect>> defects_;
  std::vector<uint8_t> lut_;          // scene code -> raw sample
  std::vector<int32_t> active_col_;   // output column -> active column, or -1 (black)
  std::vector<int64_t> array_col_;    // output column -> array column (monotonic; past the
                                      // window: INT64_MAX)
  std::vector<uint8_t> pixels_;
  uint32_t rendered_rows_ = 0;
};

// Seeded Gaussian noise, one table shared by all frames of a camera: frame n reads it from an
// offset of its own. Samples of 0 and 255 (black, dead or hot pixels, clipped highlights)
// are left as they are.
class NoiseTable {
 public:
  NoiseTable(uint64_t seed, double sigma);
  bool active() const { return !pos_.empty(); }
  // dst[i] = src[i] + noise at table position (start + i).
  void Apply(const uint8_t* src, uint8_t* dst, size_t n, uint64_t start) const;
  static constexpr size_t kSize = 1u << 20;

 private:
  std::vector<uint8_t> pos_, neg_;  // the positive and negative parts, for saturating adds
};

uint64_t SplitMix64(uint64_t& state);

}  // namespace kscam::emulator
