// Independent check of the interpolation: libdc1394's HQLinear implements the same
// gradient-corrected demosaic. On a mosaiced natural photograph, with the colour matrix at
// identity, unity gains and no defect pass, interior pixels agree within 1 level (the two
// round the estimates differently).
#include <gtest/gtest.h>

#include <jpeglib.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/convert/convert_test_support.h"
#include "tools/kscam/convert_commands.h"

namespace {

using namespace convert_test;

constexpr const char* kPhotograph = "/usr/share/backgrounds/mate/nature/LadyBird.jpg";

struct Rgb {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;  // RGB, top row first
};

bool DecodeJpeg(const char* path, Rgb* image) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, f);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  image->width = info.output_width;
  image->height = info.output_height;
  image->pixels.resize(static_cast<size_t>(image->width) * image->height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image->pixels.data() + static_cast<size_t>(info.output_scanline) * image->width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  std::fclose(f);
  return true;
}

// Samples the photograph's window through the colour filter of the given phase.
std::vector<uint8_t> Mosaic(const Rgb& photo, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, int phase) {
  const uint32_t row_shift = (phase == 1 || phase == 3) ? 1 : 0;
  const uint32_t col_shift = (phase >= 2) ? 1 : 0;
  std::vector<uint8_t> raw(static_cast<size_t>(w) * h);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const bool red_line = ((y + row_shift) & 1) == 0;
      const bool green = ((x & 1) ^ col_shift) == (red_line ? 0u : 1u);
      const int channel = green ? 1 : (red_line ? 0 : 2);
      raw[static_cast<size_t>(y) * w + x] =
          photo.pixels[(static_cast<size_t>(y0 + y) * photo.width + (x0 + x)) * 3 + channel];
    }
  }
  return raw;
}

TEST(HqLinearCrossCheck, InteriorAgreesWithinOneLevel) {
  if (!kscam::HqLinearAvailable()) GTEST_SKIP() << "libdc1394 is not part of this build";
  Rgb photo;
  if (!DecodeJpeg(kPhotograph, &photo)) GTEST_SKIP() << kPhotograph << " is not installed (package mate-backgrounds)";
  ASSERT_GE(photo.width, 64u);
  ASSERT_GE(photo.height, 64u);
  // A window from the middle keeps the run short under the sanitizers.
  const uint32_t w = std::min<uint32_t>(photo.width, 480) & ~1u;
  const uint32_t h = std::min<uint32_t>(photo.height, 320) & ~1u;
  const uint32_t x0 = ((photo.width - w) / 2) & ~1u;
  const uint32_t y0 = ((photo.height - h) / 2) & ~1u;

  for (int phase = 0; phase < 4; ++phase) {
    const auto raw = Mosaic(photo, x0, y0, w, h, phase);
    Converter ours(w, h);
    IdentityMatrix(ours.get());
    SetBayerPhase(ours.get(), phase);
    ours.Convert(raw);

    std::vector<uint8_t> reference(static_cast<size_t>(w) * h * 3);
    ASSERT_TRUE(kscam::RunHqLinear(raw.data(), w, h, phase, reference.data()));

    int worst = 0;
    size_t off_by_one = 0;
    const uint32_t border = 3;
    for (uint32_t y = border; y < h - border; ++y) {
      for (uint32_t x = border; x < w - border; ++x) {
        const Bgra p = ours.At(x, y);
        const uint8_t* q = &reference[(static_cast<size_t>(y) * w + x) * 3];
        const int diffs[3] = {std::abs(p.r - q[0]), std::abs(p.g - q[1]), std::abs(p.b - q[2])};
        for (int d : diffs) {
          worst = std::max(worst, d);
          off_by_one += d == 1;
        }
        ASSERT_LE(std::max({diffs[0], diffs[1], diffs[2]}), 1)
            << "phase " << phase << " at " << x << "," << y << ": ours " << int(p.r) << "/" << int(p.g) << "/"
            << int(p.b) << ", HQLinear " << int(q[0]) << "/" << int(q[1]) << "/" << int(q[2]);
      }
    }
    RecordProperty("phase" + std::to_string(phase) + "_off_by_one", static_cast<int>(off_by_one));
  }
}

}  // namespace
