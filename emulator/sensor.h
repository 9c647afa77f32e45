// The emulated image sensor: its 16-bit register file, the readout the registers select, the
// response to light and the frame timing.
//
// Pixel array: 4608 x 3288 active pixels at array addresses (24, 4) .. (4631, 3291), behind a
// GRBG colour filter whose top-left cell sits at (24, 4). Since 24 and 4 are even, the colour
// of array address (x, y) depends only on the parities of x and y:
//   x even, y even: green   x odd, y even: red
//   x even, y odd:  blue    x odd, y odd:  green
// Every address outside the active area (the dark border, or anything past the array) reads 0.
//
// Registers with a meaning here (all others are stored and read back unchanged):
//   0x0000        model id, 0x4B53 (read only)
//   0x0100        mode select (high byte) and image orientation (low byte), an alias:
//                 high byte bit 0 = streaming (0x301A bit 2); low byte bit 1 = vertical flip
//                 (0x3040 bit 15), bit 0 = horizontal mirror (0x3040 bit 14). A write sets
//                 those bits from the written bytes. The sensor does not mirror: bit 14 is
//                 kept but has no effect on the picture.
//   0x0300/0x0302 vt_pix_clk_div / vt_sys_clk_div       default 8 / 1
//   0x0304/0x0306 pre_pll_clk_div / pll_multiplier       default 2 / 32
//   0x0308/0x030A op_pix_clk_div / op_sys_clk_div        default 8 / 1
//   0x0340        frame length (lines)                   default 3536
//   0x0342        line length (pixel clocks)             default 4920
//   0x0344/0x0348 first / last column of the window      default 24 / 4631
//   0x0346/0x034A first / last row of the window         default 4 / 3291
//   0x034C/0x034E output width / height                  default 4608 / 3288
//   0x3012        exposure (coarse integration, lines)   default 16
//   0x301A        control: bit 0 resets every register (self-clearing), bit 2 streams
//                                                        default 0x0010
//   0x3040        read mode: bit 15 vertical flip, bit 14 mirror (ignored),
//                 bits 0-5 column odd increment, bits 6-8 row odd increment   default 0x0041
//   0x305E        global gain: bits 0-6 the gain code   default 0x1120 (code 32, unity)
//
// Skipping works like the odd-increment readout of real sensors: the readout moves one
// address after an even position and `odd_inc` addresses after an odd one, so 2 x 2 Bayer
// cells stay together and the colour order is kept. Odd increments 1, 3, 7 read every
// column, every second pair, every fourth pair (0x0041, 0x00C3, 0x01C7). Output column c
// reads array column  x_start + (c / 2) * (x_odd_inc + 1) + (c % 2)  and rows likewise; with
// vertical flip the rows count down from the window's last row. Positions past the window
// (an output larger than what the window holds) read 0.
//
// Response: raw = clip(round(255 * L * (exposure / 1200) * gain(code))), with L the scene's
// linear light (1.0 = white) through the pixel's colour filter and
//   gain(code) = (code + 32) / 64    (code 0: 0.5, the lowest analogue gain; 32: 1.0; 127: 2.48)
// so a mid grey (L = 0.5) reads 128 at exposure 1200, gain code 32. The three colour channels
// have the same sensitivity (a grey scene gives equal red, green and blue samples).
//
// Timing: pixel clock = 48 MHz / pre_pll_clk_div * pll_multiplier / (vt_sys_clk_div *
// vt_pix_clk_div) (a zero register counts as 1); frame period = line length * max(frame length,
// exposure + 1) / pixel clock, so a long exposure stretches the frame. With the driver's
// program (dividers 2, 32, 2, 8) the pixel clock is 48 MHz and the full sensor (4920 x 3536)
// takes 362.44 ms.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

namespace kscam::emulator {

inline constexpr uint32_t kArrayWidth = 4608;
inline constexpr uint32_t kArrayHeight = 3288;
inline constexpr uint32_t kArrayFirstColumn = 24;  // array address of the first active pixel
inline constexpr uint32_t kArrayFirstRow = 4;
inline constexpr uint32_t kArrayLastColumn = kArrayFirstColumn + kArrayWidth - 1;  // 4631
inline constexpr uint32_t kArrayLastRow = kArrayFirstRow + kArrayHeight - 1;       // 3291
inline constexpr uint64_t kInputClockHz = 48'000'000;
inline constexpr uint16_t kModelId = 0x4B53;

namespace reg {
inline constexpr uint16_t kModelId = 0x0000;
inline constexpr uint16_t kModeSelect = 0x0100;
inline constexpr uint16_t kVtPixClkDiv = 0x0300;
inline constexpr uint16_t kVtSysClkDiv = 0x0302;
inline constexpr uint16_t kPrePllClkDiv = 0x0304;
inline constexpr uint16_t kPllMultiplier = 0x0306;
inline constexpr uint16_t kOpPixClkDiv = 0x0308;
inline constexpr uint16_t kOpSysClkDiv = 0x030A;
inline constexpr uint16_t kFrameLength = 0x0340;
inline constexpr uint16_t kLineLength = 0x0342;
inline constexpr uint16_t kXStart = 0x0344;
inline constexpr uint16_t kYStart = 0x0346;
inline constexpr uint16_t kXEnd = 0x0348;
inline constexpr uint16_t kYEnd = 0x034A;
inline constexpr uint16_t kOutputWidth = 0x034C;
inline constexpr uint16_t kOutputHeight = 0x034E;
inline constexpr uint16_t kExposure = 0x3012;
inline constexpr uint16_t kControl = 0x301A;
inline constexpr uint16_t kReadMode = 0x3040;
inline constexpr uint16_t kGlobalGain = 0x305E;
}  // namespace reg

enum class CfaColor : uint8_t { Red = 0, Green = 1, Blue = 2 };

// Colour of the filter over array address (x, y).
constexpr CfaColor ColorAt(uint32_t x, uint32_t y) {
  if ((y & 1) == 0) return (x & 1) ? CfaColor::Red : CfaColor::Green;
  return (x & 1) ? CfaColor::Green : CfaColor::Blue;
}

// True for an address inside the active area.
constexpr bool IsActive(int64_t x, int64_t y) {
  return x >= kArrayFirstColumn && x <= kArrayLastColumn && y >= kArrayFirstRow &&
         y <= kArrayLastRow;
}

// The readout the registers select.
struct Readout {
  uint32_t x_start = 0, x_end = 0, y_start = 0, y_end = 0;
  uint32_t x_odd_inc = 1, y_odd_inc = 1;
  bool flip = false;
  uint32_t width = 0, height = 0;  // output size

  // Array address read for output column c / row r, or -1 past the window.
  int64_t ColumnAddress(uint32_t c) const;
  int64_t RowAddress(uint32_t r) const;
  // Where array address (x, y) lands in the output, if the readout reads it.
  std::optional<std::pair<uint32_t, uint32_t>> OutputOf(int64_t x, int64_t y) const;
  bool operator==(const Readout&) const = default;
};

// Gain factor of a gain code (its low 7 bits).
double GainForCode(uint32_t code);
// The raw sample the sensor reads for linear light `l` (1.0 = white).
uint8_t RawResponse(double l, uint32_t exposure_lines, uint32_t gain_code);

class Sensor {
 public:
  Sensor() { Reset(); }

  // Back to the reset defaults (power-up, or 0x301A bit 0).
  void Reset();
  void Write(uint16_t address, uint16_t value);
  uint16_t Read(uint16_t address) const;

  bool Streaming() const { return (regs_[reg::kControl] & 0x0004) != 0; }
  Readout CurrentReadout() const;
  uint32_t Exposure() const { return regs_[reg::kExposure]; }
  uint32_t GainCode() const { return regs_[reg::kGlobalGain] & 0x7F; }
  uint64_t PixelClockHz() const;
  std::chrono::nanoseconds FramePeriod() const;

  // Raised whenever a write may change the picture (readout, exposure, gain) or the timing.
  uint64_t picture_generation() const { return picture_generation_; }
  uint64_t timing_generation() const { return timing_generation_; }

 private:
  std::array<uint16_t, 65536> regs_{};
  uint64_t picture_generation_ = 0;
  uint64_t timing_generation_ = 0;
};

}  // namespace kscam::emulator
