// Every vector implementation gives the scalar reference's bytes, and the fused frame loop
// gives the bytes of the separate steps, on random frames and random settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "host/kernel/host_kernel.h"
#include "tests/convert/convert_test_support.h"

namespace {

using namespace convert_test;

struct Case {
  ULONG width, height;
  LONG phase;
  bool color, white_balance;
  LONG threshold;
  LONG gains[3];
  LONG correction, brightness, contrast, saturation, hue;
  bool raw_matrix;  // overwrite the published matrix with arbitrary entries
  size_t misalign;  // output offset from a 64-byte boundary
  LONG matrix[16];
  std::vector<uint8_t> raw;
};

std::vector<uint8_t> RandomFrame(std::mt19937& rng, ULONG w, ULONG h) {
  std::vector<uint8_t> raw(static_cast<size_t>(w) * h);
  switch (rng() % 4) {
    case 0:  // noise
      for (auto& v : raw) v = static_cast<uint8_t>(rng());
      break;
    case 1: {  // smooth scene with mild noise and a few defects
      const double fx = (rng() % 100) / 900.0, fy = (rng() % 100) / 700.0;
      for (ULONG y = 0; y < h; ++y)
        for (ULONG x = 0; x < w; ++x) {
          const double v = 128 + 100 * std::sin(x * fx + ((x ^ y) & 1) * 0.7) * std::cos(y * fy) + int(rng() % 5) - 2;
          raw[y * w + x] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
        }
      for (size_t i = 0; i < raw.size() / 50 + 1; ++i) raw[rng() % raw.size()] = (rng() & 1) ? 255 : 0;
      break;
    }
    case 2:  // hard extremes
      for (auto& v : raw) v = (rng() & 1) ? 255 : 0;
      break;
    default: {  // flat blocks
      const uint8_t a = static_cast<uint8_t>(rng()), b = static_cast<uint8_t>(rng());
      for (ULONG y = 0; y < h; ++y)
        for (ULONG x = 0; x < w; ++x) raw[y * w + x] = ((x / 7 + y / 5) & 1) ? a : b;
      break;
    }
  }
  return raw;
}

Case RandomCase(std::mt19937& rng) {
  static const ULONG widths[] = {20, 33, 1001, 8, 16, 17, 31, 32, 47, 64, 65, 95, 130, 257};
  static const ULONG heights[] = {9, 13, 7, 31, 8, 10, 5, 3, 17};
  Case c{};
  c.width = (rng() % 4 == 0) ? 3 + rng() % 300 : widths[rng() % std::size(widths)];
  c.height = (rng() % 4 == 0) ? 3 + rng() % 40 : heights[rng() % std::size(heights)];
  if (c.width == 1001) c.height = std::min<ULONG>(c.height, 13);
  c.phase = (rng() % 10 == 0) ? 4 + rng() % 10 : rng() % 4;
  c.color = rng() % 4 != 0;
  c.white_balance = rng() % 3 == 0;
  static const LONG thresholds[] = {0, 0, 1, 3, 15, 30, 255, 256, 1000, -5};
  c.threshold = thresholds[rng() % std::size(thresholds)];
  for (auto& g : c.gains) g = (rng() % 5 == 0) ? static_cast<LONG>(rng() % 70000) : static_cast<LONG>(rng() % 513);
  if (rng() % 3 == 0) c.gains[0] = c.gains[1] = c.gains[2] = 128;
  c.correction = rng() % 2;
  c.brightness = rng() % 511;
  c.contrast = rng() % 21;
  c.saturation = rng() % 21;
  c.hue = rng() % 360;
  c.raw_matrix = rng() % 5 == 0;
  for (auto& m : c.matrix) {
    switch (rng() % 4) {
      case 0: m = static_cast<LONG>(rng() % 129) - 64; break;
      case 1: m = static_cast<LONG>(rng() % 1001) - 500; break;
      case 2: m = static_cast<LONG>(rng() % 90001) - 45000; break;
      default: m = static_cast<LONG>(rng()); break;
    }
  }
  static const size_t offsets[] = {0, 0, 16, 32, 4};
  c.misalign = offsets[rng() % std::size(offsets)];
  c.raw = RandomFrame(rng, c.width, c.height);
  return c;
}

struct Result {
  std::vector<uint8_t> image;
  std::vector<uint8_t> work;
  LONG gains[3];
  bool guard;
};

void Configure(ColorProcessor* p, const Case& c) {
  SetBayerPhase(p, c.phase);
  SetColorEnable(p, c.color);
  SetWhiteBalance(p, c.white_balance);
  SetRedGain(p, c.gains[0]);
  SetGreenGain(p, c.gains[1]);
  SetBlueGain(p, c.gains[2]);
  UpdateColorCorrection(p, c.correction);
  UpdateBrightness(p, c.brightness);
  UpdateContrast(p, c.contrast);
  UpdateSaturation(p, c.saturation);
  UpdateHue(p, c.hue);
  SetActiveDotThreshold(p, c.threshold);
  if (c.raw_matrix)
    for (int k = 0; k < 16; ++k) p->FixedMatrix[k] = c.matrix[k];
}

std::vector<uint8_t> WorkLines(const Converter& conv) {
  std::vector<uint8_t> work;
  for (ULONG y = 0; y < conv.height(); ++y)
    for (ULONG x = 0; x < conv.width(); ++x) work.push_back(conv.Work(x, y));
  return work;
}

Result RunConvertFrame(const Case& c, LONG path) {
  Converter conv(c.width, c.height, c.misalign);
  SetConversionPath(conv.get(), path);
  Configure(conv.get(), c);
  conv.Convert(c.raw);
  Result r;
  r.image = conv.Image();
  r.work = WorkLines(conv);
  r.gains[0] = conv.get()->RedGain;
  r.gains[1] = conv.get()->GreenGain;
  r.gains[2] = conv.get()->BlueGain;
  r.guard = conv.GuardIntact();
  return r;
}

// The same frame through the separate full-frame steps, in the documented order.
Result RunSteps(const Case& c, LONG path) {
  Converter conv(c.width, c.height, c.misalign);
  SetConversionPath(conv.get(), path);
  ColorProcessor* p = conv.get();
  Configure(p, c);
  LoadRawFrame(p, c.raw.data(), 0, c.width);
  p->OutputCursor = p->OutputBuffer;
  p->GainSnapshot[0] = p->RedGain;
  p->GainSnapshot[1] = p->GreenGain;
  p->GainSnapshot[2] = p->BlueGain;
  p->ThresholdSnapshot = p->ActiveDotThreshold;
  if (c.white_balance) {
    LONG g[3] = {p->GainSnapshot[0], p->GainSnapshot[1], p->GainSnapshot[2]};
    MeasureWhiteBalance(p, c.phase, &g[0], &g[1], &g[2]);
    for (int i = 0; i < 3; ++i) p->GainSnapshot[i] = g[i];
    SetRedGain(p, g[0]);
    SetGreenGain(p, g[1]);
    SetBlueGain(p, g[2]);
  }
  CopyPublishedMatrix(p, p->MatrixSnapshot);
  for (int k = 0; k < 16; ++k) p->SignTable[k] = p->MatrixSnapshot[k] > 0;
  CorrectHotPixels(p);
  if (c.color)
    DemosaicColor(p, c.phase);
  else
    DemosaicGray(p, c.phase);
  Result r;
  r.image = conv.Image();
  r.work = WorkLines(conv);
  r.gains[0] = p->RedGain;
  r.gains[1] = p->GreenGain;
  r.gains[2] = p->BlueGain;
  r.guard = conv.GuardIntact();
  return r;
}

std::string Describe(const Case& c) {
  char text[256];
  snprintf(text, sizeof text, "%ux%u phase %d %s wb %d threshold %d gains %d/%d/%d raw matrix %d", c.width, c.height,
           c.phase, c.color ? "colour" : "grey", c.white_balance, c.threshold, c.gains[0], c.gains[1], c.gains[2],
           c.raw_matrix);
  return text;
}

size_t FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  return std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin();
}

TEST(ConversionEquivalence, VectorMatchesScalarOnRandomFrames) {
  std::mt19937 rng(20261208);
  const auto paths = AvailablePaths();
  for (int i = 0; i < 120; ++i) {
    const Case c = RandomCase(rng);
    const Result reference = RunConvertFrame(c, kConversionScalar);
    ASSERT_TRUE(reference.guard) << Describe(c);
    for (LONG path : paths) {
      if (path == kConversionScalar) continue;
      const Result r = RunConvertFrame(c, path);
      ASSERT_TRUE(r.guard) << PathName(path) << " " << Describe(c);
      ASSERT_EQ(r.work, reference.work) << PathName(path) << " work buffer, " << Describe(c);
      ASSERT_EQ(r.image, reference.image) << PathName(path) << " " << Describe(c) << " first difference at byte "
                                          << FirstDifference(r.image, reference.image);
      ASSERT_EQ(std::vector<LONG>(r.gains, r.gains + 3), std::vector<LONG>(reference.gains, reference.gains + 3))
          << PathName(path) << " " << Describe(c);
    }
  }
}

TEST(ConversionEquivalence, FrameLoopMatchesSeparateSteps) {
  std::mt19937 rng(77);
  for (int i = 0; i < 40; ++i) {
    Case c = RandomCase(rng);
    if (i % 2 == 0) c.threshold = 1 + rng() % 30;  // keep the defect pass busy
    for (LONG path : {static_cast<LONG>(kConversionScalar), static_cast<LONG>(kConversionAutomatic)}) {
      const Result fused = RunConvertFrame(c, path);
      const Result steps = RunSteps(c, path);
      ASSERT_EQ(fused.work, steps.work) << Describe(c);
      ASSERT_EQ(fused.image, steps.image) << Describe(c);
      ASSERT_EQ(std::vector<LONG>(fused.gains, fused.gains + 3), std::vector<LONG>(steps.gains, steps.gains + 3));
    }
  }
}

// The host capped at each processor level in turn: a path the level lacks is neither offered
// nor run (a forced one runs the next narrower path, automatic the widest there is), and
// whatever runs gives the reference's bytes, defect pass and white balance included.
TEST(ConversionEquivalence, EveryProcessorLevelRunsWhatItOffersAndMatchesScalar) {
  namespace kh = kscam::host;
  std::mt19937 rng(512);
  std::vector<Case> cases;
  std::vector<Result> references;
  for (int i = 0; i < 16; ++i) {
    Case c = RandomCase(rng);
    if (i % 2 == 0) c.threshold = 1 + rng() % 30;
    cases.push_back(c);
    references.push_back(RunConvertFrame(c, kConversionScalar));
  }
  const auto rank = [](LONG path) { return path == kConversionAvx512 ? 3 : path == kConversionAvx2 ? 2 : 1; };
  for (kh::CpuLevel level : {kh::CpuLevel::Sse2, kh::CpuLevel::Avx, kh::CpuLevel::Avx2, kh::CpuLevel::Avx512}) {
    kh::SetProcessorFeatureLimit(level);
    const bool avx2 = kh::ProcessorLevel() >= kh::CpuLevel::Avx2;
    const bool avx512 = kh::ProcessorLevel() >= kh::CpuLevel::Avx512;
    EXPECT_EQ(ConversionPathAvailable(kConversionAvx2), avx2);
    if (!avx512) EXPECT_FALSE(ConversionPathAvailable(kConversionAvx512));
    const LONG widest = ConversionPathAvailable(kConversionAvx512) ? kConversionAvx512
                        : avx2                                     ? kConversionAvx2
                                                                   : kConversionSse2;
    if (widest != kConversionAvx512) EXPECT_EQ(ResolveConversionPath(kConversionAutomatic), widest);
    for (LONG path : {kConversionAutomatic, kConversionAvx512, kConversionAvx2, kConversionSse2}) {
      const LONG ran = ResolveConversionPath(path);
      ASSERT_TRUE(ConversionPathAvailable(ran)) << PathName(path);
      ASSERT_NE(ran, kConversionAutomatic);
      if (path != kConversionAutomatic) EXPECT_EQ(ran, rank(path) <= rank(widest) ? path : widest) << PathName(path);
      for (size_t i = 0; i < cases.size(); ++i) {
        const Result r = RunConvertFrame(cases[i], path);
        ASSERT_EQ(r.work, references[i].work) << PathName(path) << " level " << static_cast<int>(level);
        ASSERT_EQ(r.image, references[i].image)
            << PathName(path) << " level " << static_cast<int>(level) << " " << Describe(cases[i]);
        ASSERT_EQ(std::vector<LONG>(r.gains, r.gains + 3),
                  std::vector<LONG>(references[i].gains, references[i].gains + 3));
      }
    }
  }
  kh::ClearProcessorFeatureLimit();
}

// The vector code forms the matrix sums in different ways depending on the matrix: only the
// usual terms (own input positive, the others not), every term with or without constants,
// or wide sums. Each form against the reference, including entries just outside a form.
TEST(ConversionEquivalence, EveryMatrixFormMatchesScalar) {
  static const LONG matrices[][16] = {
      {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64},              // identity
      {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64},    // usual correction
      {87, -16, -6, 0, -14, 90, 20, 0, -9, -10, 91, 0, 0, 0, 0, 64},     // one positive other input
      {87, -16, -6, 0, -14, -90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64},   // a negative own input
      {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 640, -320, 1, 0},  // constants
      {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, -1, 0},    // one small constant
      {200, -100, -100, 0, -100, 200, -100, 0, -100, -100, 200, 0, 0, 0, 0, 0},  // sums past 16 bits
      {257, -1, 0, 0, 0, 257, 0, 0, 0, 0, 257, 0, 0, 0, 0, 0},           // just past 16 bits
      {9000, -9000, 5, 0, -40000, 70000, 3, 0, 1, 2, 3, 0, 0, 0, 0, 0},  // wide weights
  };
  std::mt19937 rng(5);
  const auto paths = AvailablePaths();
  for (const auto& m : matrices) {
    for (int i = 0; i < 6; ++i) {
      Case c = RandomCase(rng);
      c.color = true;
      c.raw_matrix = true;
      std::copy(std::begin(m), std::end(m), c.matrix);
      if (i % 2 == 0) c.gains[0] = c.gains[1] = c.gains[2] = 128;
      const Result reference = RunConvertFrame(c, kConversionScalar);
      for (LONG path : paths) {
        if (path == kConversionScalar) continue;
        const Result r = RunConvertFrame(c, path);
        ASSERT_TRUE(r.guard) << PathName(path) << " " << Describe(c);
        ASSERT_EQ(r.image, reference.image) << PathName(path) << " " << Describe(c) << " matrix form "
                                            << (&m - matrices) << " first difference at byte "
                                            << FirstDifference(r.image, reference.image);
      }
    }
  }
}

// Full-width lines of bright samples: the vector measurement gathers its sums in narrow
// lanes and must fold them before they overflow. Gains and images as the reference's, in
// every phase.
TEST(ConversionEquivalence, FullWidthBrightFramesMeasureExactly) {
  constexpr ULONG kWidth = 4608, kHeight = 8;
  std::mt19937 rng(9);
  const auto paths = AvailablePaths();
  for (LONG phase = 0; phase < 4; ++phase) {
    Case c{};
    c.width = kWidth;
    c.height = kHeight;
    c.phase = phase;
    c.color = phase % 2 == 0;
    c.white_balance = true;
    for (auto& g : c.gains) g = 128;
    c.correction = 1;
    c.brightness = 255;
    c.contrast = 10;
    c.saturation = 10;
    c.raw.resize(static_cast<size_t>(kWidth) * kHeight);
    for (ULONG y = 0; y < kHeight; ++y)
      for (ULONG x = 0; x < kWidth; ++x)
        c.raw[y * kWidth + x] = static_cast<uint8_t>(((x + y) & 1) ? 255 : 230 + rng() % 26);
    const Result reference = RunConvertFrame(c, kConversionScalar);
    for (LONG path : paths) {
      if (path == kConversionScalar) continue;
      const Result r = RunConvertFrame(c, path);
      EXPECT_EQ(std::vector<LONG>(r.gains, r.gains + 3), std::vector<LONG>(reference.gains, reference.gains + 3))
          << PathName(path) << " phase " << phase;
      EXPECT_EQ(r.image, reference.image) << PathName(path) << " phase " << phase;
    }
  }
}

}  // namespace
