#include "emulator/frame_counter.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace kscam::emulator {
namespace {

uint32_t Check(uint32_t n) {
  n &= 0xFFFFFF;
  return (n ^ (n >> 6) ^ (n >> 12) ^ (n >> 18)) & 63;
}

// Reads the strip through `level(x, y)`, the brightness of output pixel (x, y).
std::optional<uint32_t> Decode(const CounterStrip& s, uint32_t usable_width,
                               const std::function<uint32_t(uint32_t, uint32_t)>& level) {
  if (!s.valid() || s.x0 + s.width() > usable_width) return std::nullopt;
  uint32_t means[CounterStrip::kBlocks];
  uint32_t lo = s.block / 4, hi = s.block - s.block / 4;
  for (uint32_t i = 0; i < CounterStrip::kBlocks; ++i) {
    uint64_t sum = 0, count = 0;
    for (uint32_t y = s.y0 + lo; y < s.y0 + hi; ++y)
      for (uint32_t x = s.x0 + i * s.block + lo; x < s.x0 + i * s.block + hi; ++x) {
        sum += level(x, y);
        ++count;
      }
    means[i] = uint32_t(sum / count);
  }
  if (means[0] < means[1] + 64) return std::nullopt;  // no contrast: not a strip
  uint32_t threshold = (means[0] + means[1]) / 2;
  uint32_t bits = 0;
  for (uint32_t i = 2; i < CounterStrip::kBlocks; ++i) bits = bits << 1 | (means[i] > threshold);
  uint32_t n = bits >> 6;
  if ((bits & 63) != Check(n)) return std::nullopt;
  return n;
}

}  // namespace

CounterStrip CounterStripFor(uint32_t width, uint32_t height) {
  CounterStrip s;
  uint32_t b = (width / 36) & ~1u;
  if (b < 8 || height < 2 * b) return s;
  s.block = b;
  s.x0 = 2 * b;
  s.y0 = (b / 2) & ~1u;
  return s;
}

bool CounterBlockWhite(uint32_t n, uint32_t i) {
  n &= 0xFFFFFF;
  if (i == 0) return true;
  if (i == 1) return false;
  uint32_t bits = n << 6 | Check(n);  // 30 bits, blocks 2..31
  return (bits >> (31 - i)) & 1;
}

void StampCounter(uint32_t number, uint32_t width, uint32_t height, uint64_t offset,
                  uint8_t* dst, uint32_t length) {
  CounterStrip s = CounterStripFor(width, height);
  if (!s.valid() || length == 0) return;
  uint64_t end = offset + length;
  uint64_t first_row = std::max<uint64_t>(s.y0, offset / width);
  uint64_t last_row = std::min<uint64_t>(s.y0 + s.block, (end + width - 1) / width);
  for (uint64_t row = first_row; row < last_row; ++row) {
    for (uint32_t i = 0; i < CounterStrip::kBlocks; ++i) {
      uint64_t a = std::max<uint64_t>(row * width + s.x0 + i * s.block, offset);
      uint64_t b = std::min<uint64_t>(row * width + s.x0 + (i + 1) * s.block, end);
      if (a < b) std::memset(dst + (a - offset), CounterBlockWhite(number, i) ? 255 : 0, size_t(b - a));
    }
  }
}

std::optional<uint32_t> DecodeCounter(const uint8_t* raw, uint32_t width, uint32_t height) {
  if (!raw) return std::nullopt;
  return Decode(CounterStripFor(width, height), width, [&](uint32_t x, uint32_t y) {
    return uint32_t(raw[size_t(y) * width + x]);
  });
}

std::optional<uint32_t> DecodeCounterBgra(const uint8_t* top_line, ptrdiff_t stride,
                                          uint32_t image_width, uint32_t height,
                                          uint32_t raw_width) {
  if (!top_line) return std::nullopt;
  return Decode(CounterStripFor(raw_width, height), image_width, [&](uint32_t x, uint32_t y) {
    const uint8_t* p = top_line + ptrdiff_t(y) * stride + ptrdiff_t(x) * 4;
    return (uint32_t(p[0]) + 2u * p[1] + p[2]) / 4;
  });
}

}  // namespace kscam::emulator
