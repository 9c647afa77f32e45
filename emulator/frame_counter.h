// The frame-counter strip: a row of large black and white blocks that the camera stamps onto
// the first lines of every frame it sends, encoding the frame's number. Blocks are whole 2 x 2
// Bayer cells of 0 or 255 in every colour, so the strip survives demosaicing, colour gains and
// a colour matrix: white stays the brightest and black the darkest thing in the strip.
//
// Layout for an output of W x H pixels (in output coordinates, whatever the readout):
//   block size B = (W / 36) rounded down to even; no strip when B < 8 or H < 2 * B;
//   top-left corner (2 B, B / 2 rounded down to even), 32 blocks of B x B side by side:
//   block 0 white, block 1 black (they set the threshold), blocks 2..25 the low 24 bits of the
//   frame number (most significant first, white = 1), blocks 26..31 a 6-bit check
//   (n ^ n >> 6 ^ n >> 12 ^ n >> 18) & 63 of those 24 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kscam::emulator {

struct CounterStrip {
  uint32_t block = 0;  // 0: no strip fits
  uint32_t x0 = 0, y0 = 0;
  static constexpr uint32_t kBlocks = 32;
  static constexpr uint32_t kDataBits = 24;
  bool valid() const { return block != 0; }
  uint32_t width() const { return block * kBlocks; }
};

CounterStrip CounterStripFor(uint32_t width, uint32_t height);
// Whether block i is white for frame number n.
bool CounterBlockWhite(uint32_t n, uint32_t i);

// Stamps the strip of frame `number` onto the part of a frame held in `dst`: the bytes at
// frame offsets [offset, offset + length) of an image of `width` x `height` pixels.
void StampCounter(uint32_t number, uint32_t width, uint32_t height, uint64_t offset,
                  uint8_t* dst, uint32_t length);

// The low 24 bits of the frame number in a raw frame (`width` bytes per line), or nothing when
// no strip fits or it does not read back consistently.
std::optional<uint32_t> DecodeCounter(const uint8_t* raw, uint32_t width, uint32_t height);

// The same for a converted image: 4 bytes per pixel (blue, green, red, x), `stride` bytes from
// one line to the next (negative for a bottom-up image: pass the address of the top line).
// The strip layout follows the raw frame's size (`raw_width` x `height`); the image may be
// narrower (converted images drop up to seven columns).
std::optional<uint32_t> DecodeCounterBgra(const uint8_t* top_line, ptrdiff_t stride,
                                          uint32_t image_width, uint32_t height,
                                          uint32_t raw_width);

}  // namespace kscam::emulator
