#include "emulator/render.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kscam::emulator {

uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::vector<Defect> MakeDefects(uint64_t seed, double rate) {
  std::vector<Defect> defects;
  if (!(rate > 0.0)) return defects;
  auto count = size_t(std::min(1.0, rate) * double(kArrayWidth) * double(kArrayHeight));
  uint64_t state = seed ^ 0xD3FEC7D3FEC7ull;
  defects.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    uint64_t r = SplitMix64(state);
    defects.push_back(Defect{kArrayFirstColumn + uint32_t(r % kArrayWidth),
                             kArrayFirstRow + uint32_t((r >> 20) % kArrayHeight),
                             ((r >> 60) & 1) != 0});
  }
  std::sort(defects.begin(), defects.end());
  defects.erase(std::unique(defects.begin(), defects.end(),
                            [](const Defect& a, const Defect& b) { return a.x == b.x && a.y == b.y; }),
                defects.end());
  return defects;
}

Mosaic::Mosaic(std::shared_ptr<const Scene> scene, const Readout& readout, uint32_t exposure,
               uint32_t gain_code, std::shared_ptr<const std::vector<Defect>> defects,
               uint64_t bytes_needed, uint64_t budget)
    : scene_(std::move(scene)), readout_(readout), defects_(std::move(defects)), lut_(65536) {
  for (uint32_t v = 0; v < 65536; ++v) lut_[v] = RawResponse(v / 65535.0, exposure, gain_code);
  active_col_.resize(readout_.width);
  array_col_.resize(readout_.width);
  for (uint32_t c = 0; c < readout_.width; ++c) {
    int64_t x = readout_.ColumnAddress(c);
    array_col_[c] = x < 0 ? std::numeric_limits<int64_t>::max() : x;
    bool active = x >= kArrayFirstColumn && x <= kArrayLastColumn;
    active_col_[c] = active ? int32_t(x - kArrayFirstColumn) : -1;
  }
  if (readout_.width == 0) return;
  uint64_t rows = std::min<uint64_t>(readout_.height, (bytes_needed + readout_.width - 1) / readout_.width);
  if (rows * readout_.width > budget) return;
  rendered_rows_ = uint32_t(rows);
  pixels_.resize(size_t(rows) * readout_.width);
  for (uint32_t r = 0; r < rendered_rows_; ++r) RenderRow(r, pixels_.data() + size_t(r) * readout_.width);
}

void Mosaic::RenderRow(uint32_t r, uint8_t* dst) const {
  const uint32_t w = readout_.width;
  int64_t y = readout_.RowAddress(r);
  if (y < kArrayFirstRow || y > kArrayLastRow || !scene_) {
    std::memset(dst, 0, w);
    return;
  }
  const uint16_t* src = scene_->Row(uint32_t(y - kArrayFirstRow));
  const uint8_t* lut = lut_.data();
  const int32_t* cols = active_col_.data();
  for (uint32_t c = 0; c < w; ++c) {
    int32_t x = cols[c];
    dst[c] = x >= 0 ? lut[src[x]] : 0;
  }
  if (!defects_) return;
  auto [first, last] = std::equal_range(defects_->begin(), defects_->end(), Defect{0, uint32_t(y), false},
                                        [](const Defect& a, const Defect& b) { return a.y < b.y; });
  for (auto d = first; d != last; ++d) {
    auto [a, b] = std::equal_range(array_col_.begin(), array_col_.end(), int64_t(d->x));
    for (auto it = a; it != b; ++it) dst[it - array_col_.begin()] = d->hot ? 255 : 0;
  }
}

NoiseTable::NoiseTable(uint64_t seed, double sigma) {
  if (!(sigma > 0.0)) return;
  pos_.resize(kSize);
  neg_.resize(kSize);
  uint64_t state = seed ^ 0x4E015EA11ull;
  for (size_t i = 0; i < kSize; ++i) {
    // Box-Muller from our own generator, so a seed gives the same noise everywhere.
    double u1 = (double(SplitMix64(state) >> 11) + 1.0) / 9007199254740993.0;
    double u2 = double(SplitMix64(state) >> 11) / 9007199254740992.0;
    double n = sigma * std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    long v = std::clamp(std::lround(n), -127l, 127l);
    pos_[i] = uint8_t(v > 0 ? v : 0);
    neg_[i] = uint8_t(v < 0 ? -v : 0);
  }
}

void NoiseTable::Apply(const uint8_t* src, uint8_t* dst, size_t n, uint64_t start) const {
  if (!active()) {
    if (src != dst) std::memcpy(dst, src, n);
    return;
  }
  size_t j = size_t(start % kSize);
  while (n > 0) {
    size_t run = std::min(n, kSize - j);
    const uint8_t* p = pos_.data() + j;
    const uint8_t* q = neg_.data() + j;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), full = _mm_set1_epi8(char(0xFF));
    for (; i + 16 <= run; i += 16) {
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      __m128i v = _mm_subs_epu8(_mm_adds_epu8(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i)));
      __m128i keep = _mm_or_si128(_mm_cmpeq_epi8(b, zero), _mm_cmpeq_epi8(b, full));
      v = _mm_or_si128(_mm_and_si128(keep, b), _mm_andnot_si128(keep, v));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
    }
#endif
    for (; i < run; ++i) {
      uint8_t b = src[i];
      if (b == 0 || b == 255) {
        dst[i] = b;
        continue;
      }
      int v = int(b) + p[i] - q[i];
      dst[i] = uint8_t(std::clamp(v, 0, 255));
    }
    src += run;
    dst += run;
    n -= run;
    j = 0;
  }
}

}  // namespace kscam::emulator
