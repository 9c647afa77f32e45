// The picture: the chart's true colours through the colour filter, exposure and gain response,
// image files as scenes, noise, defect pixels and the frame counter after demosaicing.
#include <gtest/gtest.h>

#include <jpeglib.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>

#include <unistd.h>

#include "camera_port.h"
#include "emulator/frame_counter.h"

namespace kscam::emulator::testing {
namespace {

const ChartPatch& Patch(const std::string& name) {
  for (const auto& p : ChartPatches())
    if (name == p.name) return p;
  throw std::runtime_error("no patch " + name);
}

TEST(Response, ExposureAndGainScaleTheSignal) {
  EmulatedCamera cam(Clean(Scene::Uniform({0.5f, 0.5f, 0.5f})));
  Port port(cam);
  auto centre = [&](Mode m) {
    uint32_t bytes = port.Configure(m);
    auto frame = port.ReadFrame(bytes);
    return frame ? int((*frame)[size_t(240) * 640 + 320]) : -1;
  };
  Mode m{100, 51, 640, 480};
  EXPECT_EQ(centre(m), 128);  // mid grey at half scale
  m.exposure = 600;
  EXPECT_EQ(centre(m), 64);
  m.exposure = 2400;
  EXPECT_EQ(centre(m), 255);  // clipped
  m.exposure = 1200;
  m.gain = 0;
  EXPECT_EQ(centre(m), 64);  // the lowest analogue gain is half, not black
  m.gain = 96;
  EXPECT_EQ(centre(m), 255);
  m.gain = 0x80 | 32;  // only the low seven bits count
  EXPECT_EQ(centre(m), 128);
  EXPECT_DOUBLE_EQ(GainForCode(32), 1.0);
  EXPECT_LT(GainForCode(31), GainForCode(32));
}

TEST(Chart, PatchesShowTheirTrueColoursThroughTheFilter) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  auto frame = port.ReadFrame(bytes);
  ASSERT_TRUE(frame);
  // The red patch covers active (96..495, 288..687): output (c, r) is active (100 + c, 52 + r).
  const ChartPatch& red = Patch("red");
  for (uint32_t r = 300; r < 310; ++r)
    for (uint32_t c = 100; c < 110; ++c) {
      uint32_t ax = 100 + c, ay = 52 + r;
      ASSERT_TRUE(ax >= red.x0 && ax < red.x1 && ay >= red.y0 && ay < red.y1);
      CfaColor colour = ColorAt(ax + kArrayFirstColumn, ay + kArrayFirstRow);
      // Within one step: the scene is held in 16 bits.
      EXPECT_NEAR((*frame)[size_t(r) * 640 + c], RawResponse(red.color.Channel(colour), 1200, 32), 1);
    }
  EXPECT_NEAR(RawResponse(red.color.r, 1200, 32), 178.5, 0.5);  // 255 x 0.7
  // The chart's own description agrees with the patch table.
  EXPECT_FLOAT_EQ(ChartColorAt(200, 400).r, red.color.r);
  EXPECT_FLOAT_EQ(Patch("mid grey").color.g, 0.5f);
  EXPECT_FLOAT_EQ(ChartColorAt(kRampX0, kRampY0).g, 0.0f);
  EXPECT_FLOAT_EQ(ChartColorAt(kRampX1 - 1, kRampY0).g, 1.0f);
}

TEST(Chart, PatchCentresAreFoundInEveryReadout) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  for (Mode m : {Mode{}, Mode{0, 0, 4608, 3288, 1, true}, Mode{0, 0, 4608, 3288, 2}, Mode{101, 51, 640, 480, 0, true}}) {
    uint32_t bytes = port.Configure(m);
    auto frame = port.ReadFrame(bytes);
    ASSERT_TRUE(frame);
    Readout r = cam.CurrentReadout();
    int found = 0;
    for (const ChartPatch& patch : ChartPatches()) {
      auto pos = PatchCentreInOutput(patch, r);
      if (!pos) continue;
      ++found;
      auto [c, row] = *pos;
      int64_t x = r.ColumnAddress(c), y = r.RowAddress(row);
      CfaColor colour = ColorAt(uint32_t(x), uint32_t(y));
      EXPECT_NEAR((*frame)[size_t(row) * r.width + c], RawResponse(patch.color.Channel(colour), 1200, 32), 1)
          << patch.name;
    }
    // The region sees the red patch and the left edge of the green one.
    EXPECT_EQ(found, m.w == 640 ? 2 : 24);
  }
}

void WritePng(const std::string& path, uint32_t w, uint32_t h, const std::vector<uint8_t>& rgb) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < h; ++y) png_write_row(png, rgb.data() + size_t(y) * w * 3);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  fclose(f);
}

void WriteJpeg(const std::string& path, uint32_t w, uint32_t h, const std::vector<uint8_t>& rgb) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 95, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < h) {
    JSAMPROW row = const_cast<uint8_t*>(rgb.data()) + size_t(c.next_scanline) * w * 3;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  fclose(f);
}

double Linear(uint8_t srgb) {
  double v = srgb / 255.0;
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

TEST(ImageScene, PngAndJpegFilesAreStretchedOverTheArrayInLinearLight) {
  auto dir = std::filesystem::temp_directory_path() / ("kscam_emulator_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  // Left half one colour, right half another.
  const uint32_t w = 64, h = 32;
  std::vector<uint8_t> rgb(w * h * 3);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(y * w + x) * 3];
      if (x < w / 2) p[0] = 200, p[1] = 100, p[2] = 50;
      else p[0] = 20, p[1] = 180, p[2] = 240;
    }
  std::string png = (dir / "scene.png").string(), jpg = (dir / "scene.jpg").string();
  WritePng(png, w, h, rgb);
  WriteJpeg(jpg, w, h, rgb);

  std::string error;
  auto scene = Scene::FromImageFile(png, &error);
  ASSERT_TRUE(scene) << error;
  EmulatedCamera cam(Clean(scene));
  // Array (1000, 1000): left half, even/even: green. (3001, 1000): right half, odd/even: red.
  EXPECT_EQ(cam.ExpectedSample(1000, 1000), RawResponse(Linear(100), 16, 32));  // reset exposure
  Port port(cam);
  port.Configure(Mode{100, 51, 640, 480});
  EXPECT_EQ(cam.ExpectedSample(1000, 1000), RawResponse(Linear(100), 1200, 32));
  EXPECT_EQ(cam.ExpectedSample(3001, 1000), RawResponse(Linear(20), 1200, 32));
  EXPECT_EQ(cam.ExpectedSample(3000, 1001), RawResponse(Linear(240), 1200, 32));

  auto jpeg_scene = Scene::FromImageFile(jpg, &error);
  ASSERT_TRUE(jpeg_scene) << error;
  EXPECT_NEAR(jpeg_scene->Sample(1001 - 24, 1000 - 4) / 65535.0, Linear(200), 0.03);

  std::string text = (dir / "notes.txt").string();
  FILE* f = fopen(text.c_str(), "w");
  fputs("not an image", f);
  fclose(f);
  EXPECT_FALSE(Scene::FromImageFile(text, &error));
  EXPECT_NE(error.find("neither a PNG nor a JPEG"), std::string::npos);
  // A PNG cut short is refused, not half-read.
  std::filesystem::resize_file(png, 40);
  EXPECT_FALSE(Scene::FromImageFile(png, &error));
  EXPECT_FALSE(Scene::FromImageFile((dir / "missing.png").string(), &error));
  std::filesystem::remove_all(dir);
}

TEST(Noise, SeededNoiseVariesPerFrameAndRepeatsPerSeed) {
  CameraOptions noisy;
  noisy.scene = Scene::Uniform({0.5f, 0.5f, 0.5f});
  noisy.noise_sigma = 2.0;
  noisy.defect_rate = 0;
  EmulatedCamera a(noisy), b(noisy);
  noisy.seed = 7;
  EmulatedCamera c(noisy);
  Port pa(a), pb(b), pc(c);
  Mode m{100, 51, 640, 480};
  uint32_t bytes = pa.Configure(m);
  pb.Configure(m);
  pc.Configure(m);
  auto a1 = pa.ReadFrame(bytes), a2 = pa.ReadFrame(bytes), b1 = pb.ReadFrame(bytes), c1 = pc.ReadFrame(bytes);
  ASSERT_TRUE(a1 && a2 && b1 && c1);
  EXPECT_EQ(*a1, *b1);  // same seed, same frame number
  EXPECT_NE(*a1, *a2);
  EXPECT_NE(*a1, *c1);
  // Statistics over the lines below the counter strip.
  double sum = 0, sq = 0;
  size_t n = 0;
  for (size_t i = 100 * 640; i < 307'200; ++i) {
    double d = double((*a1)[i]) - 128.0;
    sum += d;
    sq += d * d;
    ++n;
  }
  EXPECT_NEAR(sum / n, 0.0, 0.1);
  EXPECT_NEAR(std::sqrt(sq / n), 2.0, 0.2);
}

TEST(Defects, HotAndDeadPixelsSitAtFixedArrayAddresses) {
  CameraOptions options = Clean(Scene::Uniform({0.5f, 0.5f, 0.5f}));
  options.defect_rate = 2e-4;
  EmulatedCamera cam(options);
  auto defects = cam.Defects();
  ASSERT_GT(defects.size(), 1000u);
  EXPECT_EQ(defects, EmulatedCamera(options).Defects());  // seeded
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  auto frame = port.ReadFrame(bytes);
  ASSERT_TRUE(frame);
  int seen = 0;
  for (const Defect& d : defects) {
    if (d.x < 124 || d.x > 763 || d.y < 56 || d.y > 535) continue;
    uint32_t c = d.x - 124, r = d.y - 56;
    if (r >= 8 && r < 24) continue;  // under the counter strip
    EXPECT_EQ((*frame)[r * 640 + c], d.hot ? 255 : 0);
    EXPECT_EQ(cam.ExpectedSample(d.x, d.y), d.hot ? 255 : 0);
    ++seen;
  }
  EXPECT_GT(seen, 10);
  // Everything else reads the scene.
  size_t odd = 0;
  for (uint8_t v : *frame) odd += v != 128 && v != 0 && v != 255;
  EXPECT_EQ(odd, 0u);
}

// A plain demosaic: each 2 x 2 cell's red, mean green and blue for all four of its pixels,
// with white-balance-like gains, written bottom-up as the driver delivers it.
std::vector<uint8_t> DemosaicBottomUp(const std::vector<uint8_t>& raw, uint32_t w, uint32_t h, uint32_t image_w,
                                      bool bggr) {
  std::vector<uint8_t> out(size_t(image_w) * h * 4);
  for (uint32_t y = 0; y + 1 < h; y += 2)
    for (uint32_t x = 0; x + 1 < image_w; x += 2) {
      const uint8_t* top = &raw[size_t(y) * w + x];
      const uint8_t* bottom = top + w;
      int g = (top[0] + bottom[1]) / 2, r = top[1], b = bottom[0];
      if (bggr) g = (top[1] + bottom[0]) / 2, r = bottom[1], b = top[0];
      for (uint32_t i : {0u, 1u})
        for (uint32_t j : {0u, 1u}) {
          uint8_t* p = &out[(size_t(h - 1 - (y + i)) * image_w + x + j) * 4];
          p[0] = uint8_t(std::min(255, b * 2));
          p[1] = uint8_t(g);
          p[2] = uint8_t(std::min(255, r * 3 / 2));
          p[3] = 255;
        }
    }
  return out;
}

TEST(FrameCounter, ReadableAfterDemosaicingInEveryGeometry) {
  CameraOptions options;
  options.scene = SharedChart();
  EmulatedCamera cam(options);
  Port port(cam);
  for (Mode m : {Mode{0, 0, 1001, 600}, Mode{100, 51, 640, 480, 0, true}, Mode{0, 0, 4608, 3288, 2}}) {
    uint32_t bytes = port.Configure(m);
    auto frame = port.ReadFrame(bytes);
    ASSERT_TRUE(frame);
    Readout r = cam.CurrentReadout();
    uint32_t h = m.sub_sample == 2 ? 822 : r.height;
    uint32_t image_w = r.width & ~7u;
    auto raw_number = DecodeCounter(frame->data(), r.width, h);
    ASSERT_TRUE(raw_number);
    EXPECT_EQ(*raw_number, cam.Frames().back().number);
    auto bgra = DemosaicBottomUp(*frame, r.width, h, image_w, m.flip);
    const uint8_t* top = bgra.data() + size_t(h - 1) * image_w * 4;
    EXPECT_EQ(DecodeCounterBgra(top, -ptrdiff_t(image_w) * 4, image_w, h, r.width), raw_number);
  }
}

TEST(FrameCounter, EncodesTwentyFourBitsWithACheck) {
  const uint32_t w = 720, h = 100;
  std::vector<uint8_t> raw(w * h, 90);
  for (uint32_t n : {0u, 1u, 0x123456u, 0xFFFFFFu}) {
    StampCounter(n, w, h, 0, raw.data(), uint32_t(raw.size()));
    EXPECT_EQ(DecodeCounter(raw.data(), w, h), n);
  }
  // Stamping piecewise, as chunks arrive, gives the same strip.
  std::vector<uint8_t> pieces(w * h, 90);
  for (uint32_t at = 0; at < pieces.size(); at += 1000)
    StampCounter(0xABCDEF, w, h, at, pieces.data() + at, std::min<uint32_t>(1000, uint32_t(pieces.size()) - at));
  EXPECT_EQ(DecodeCounter(pieces.data(), w, h), 0xABCDEFu);
  // One block flipped breaks the check instead of giving a wrong number.
  CounterStrip s = CounterStripFor(w, h);
  for (uint32_t y = s.y0; y < s.y0 + s.block; ++y)
    for (uint32_t x = s.x0 + 5 * s.block; x < s.x0 + 6 * s.block; ++x) pieces[y * w + x] ^= 0xFF;
  EXPECT_FALSE(DecodeCounter(pieces.data(), w, h));
  std::vector<uint8_t> flat(w * h, 128);
  EXPECT_FALSE(DecodeCounter(flat.data(), w, h));
}

}  // namespace
}  // namespace kscam::emulator::testing
