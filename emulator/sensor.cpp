#include "emulator/sensor.h"

#include <algorithm>
#include <cmath>

namespace kscam::emulator {

int64_t Readout::ColumnAddress(uint32_t c) const {
  int64_t step = int64_t(c / 2) * (int64_t(x_odd_inc) + 1) + (c & 1);
  int64_t x = int64_t(x_start) + step;
  return x <= int64_t(x_end) ? x : -1;
}

int64_t Readout::RowAddress(uint32_t r) const {
  int64_t step = int64_t(r / 2) * (int64_t(y_odd_inc) + 1) + (r & 1);
  if (flip) {
    int64_t y = int64_t(y_end) - step;
    return y >= int64_t(y_start) ? y : -1;
  }
  int64_t y = int64_t(y_start) + step;
  return y <= int64_t(y_end) ? y : -1;
}

namespace {

// Output position of the address `d` steps past the first one read, for an odd increment.
std::optional<uint32_t> Position(int64_t d, uint32_t odd_inc) {
  if (d < 0) return std::nullopt;
  int64_t period = int64_t(odd_inc) + 1;
  if (period == 1) return uint32_t(d == 0 ? 0 : 2 * d - 1);  // every address read twice
  if (d % period > 1) return std::nullopt;                   // skipped
  return uint32_t((d / period) * 2 + d % period);
}

}  // namespace

std::optional<std::pair<uint32_t, uint32_t>> Readout::OutputOf(int64_t x, int64_t y) const {
  if (x > int64_t(x_end) || y > int64_t(y_end) || y < int64_t(y_start)) return std::nullopt;
  auto c = Position(x - int64_t(x_start), x_odd_inc);
  auto r = Position(flip ? int64_t(y_end) - y : y - int64_t(y_start), y_odd_inc);
  if (!c || !r || *c >= width || *r >= height) return std::nullopt;
  return std::pair{*c, *r};
}

double GainForCode(uint32_t code) { return (double(code & 0x7F) + 32.0) / 64.0; }

uint8_t RawResponse(double l, uint32_t exposure_lines, uint32_t gain_code) {
  double v = 255.0 * l * (double(exposure_lines) / 1200.0) * GainForCode(gain_code);
  if (!(v > 0.0)) return 0;
  if (v >= 255.0) return 255;
  return uint8_t(std::lround(v));
}

void Sensor::Reset() {
  regs_.fill(0);
  regs_[reg::kModelId] = kModelId;
  regs_[reg::kVtPixClkDiv] = 8;
  regs_[reg::kVtSysClkDiv] = 1;
  regs_[reg::kPrePllClkDiv] = 2;
  regs_[reg::kPllMultiplier] = 32;
  regs_[reg::kOpPixClkDiv] = 8;
  regs_[reg::kOpSysClkDiv] = 1;
  regs_[reg::kFrameLength] = 3536;
  regs_[reg::kLineLength] = 4920;
  regs_[reg::kXStart] = kArrayFirstColumn;
  regs_[reg::kYStart] = kArrayFirstRow;
  regs_[reg::kXEnd] = kArrayLastColumn;
  regs_[reg::kYEnd] = kArrayLastRow;
  regs_[reg::kOutputWidth] = kArrayWidth;
  regs_[reg::kOutputHeight] = kArrayHeight;
  regs_[reg::kExposure] = 16;
  regs_[reg::kControl] = 0x0010;
  regs_[reg::kReadMode] = 0x0041;
  regs_[reg::kGlobalGain] = 0x1120;
  ++picture_generation_;
  ++timing_generation_;
}

void Sensor::Write(uint16_t address, uint16_t value) {
  switch (address) {
    case reg::kModelId:
      return;
    case reg::kModeSelect: {
      uint16_t control = regs_[reg::kControl] & ~uint16_t(0x0004);
      if (value & 0x0100) control |= 0x0004;
      Write(reg::kControl, control);
      uint16_t mode = regs_[reg::kReadMode] & 0x3FFF;
      if (value & 0x0002) mode |= 0x8000;
      if (value & 0x0001) mode |= 0x4000;
      Write(reg::kReadMode, mode);
      return;
    }
    case reg::kControl:
      if (value & 0x0001) {
        Reset();
        return;
      }
      if ((value ^ regs_[address]) & 0x0004) ++timing_generation_;
      regs_[address] = value;
      return;
    case reg::kVtPixClkDiv:
    case reg::kVtSysClkDiv:
    case reg::kPrePllClkDiv:
    case reg::kPllMultiplier:
    case reg::kFrameLength:
    case reg::kLineLength:
      if (regs_[address] != value) ++timing_generation_;
      regs_[address] = value;
      return;
    case reg::kExposure:
      if (regs_[address] != value) {
        ++timing_generation_;
        ++picture_generation_;
      }
      regs_[address] = value;
      return;
    case reg::kXStart:
    case reg::kYStart:
    case reg::kXEnd:
    case reg::kYEnd:
    case reg::kOutputWidth:
    case reg::kOutputHeight:
    case reg::kReadMode:
    case reg::kGlobalGain:
      if (regs_[address] != value) ++picture_generation_;
      regs_[address] = value;
      return;
    default:
      regs_[address] = value;
      return;
  }
}

uint16_t Sensor::Read(uint16_t address) const {
  if (address == reg::kModeSelect) {
    uint16_t mode_select = Streaming() ? 1 : 0;
    uint16_t mode = regs_[reg::kReadMode];
    uint16_t orientation = uint16_t(((mode >> 15) & 1) << 1 | ((mode >> 14) & 1));
    return uint16_t(mode_select << 8 | orientation);
  }
  return regs_[address];
}

Readout Sensor::CurrentReadout() const {
  Readout r;
  r.x_start = regs_[reg::kXStart];
  r.x_end = regs_[reg::kXEnd];
  r.y_start = regs_[reg::kYStart];
  r.y_end = regs_[reg::kYEnd];
  uint16_t mode = regs_[reg::kReadMode];
  r.x_odd_inc = mode & 0x3F;
  r.y_odd_inc = (mode >> 6) & 0x7;
  r.flip = (mode & 0x8000) != 0;
  r.width = regs_[reg::kOutputWidth];
  r.height = regs_[reg::kOutputHeight];
  return r;
}

uint64_t Sensor::PixelClockHz() const {
  auto nz = [](uint16_t v) { return uint64_t(v ? v : 1); };
  uint64_t vco = kInputClockHz / nz(regs_[reg::kPrePllClkDiv]) * nz(regs_[reg::kPllMultiplier]);
  return std::max<uint64_t>(1, vco / (nz(regs_[reg::kVtSysClkDiv]) * nz(regs_[reg::kVtPixClkDiv])));
}

std::chrono::nanoseconds Sensor::FramePeriod() const {
  uint64_t line = std::max<uint64_t>(1, regs_[reg::kLineLength]);
  uint64_t lines = std::max<uint64_t>(regs_[reg::kFrameLength], uint64_t(Exposure()) + 1);
  // line * lines < 2^32, so the product in nanoseconds stays well inside 64 bits.
  return std::chrono::nanoseconds(line * lines * 1'000'000'000ull / PixelClockHz());
}

}  // namespace kscam::emulator
