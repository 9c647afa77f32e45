// Frame conversion edge cases: geometry, margins, the defect-pixel pass, interpolation,
// gains, the matrix sums, grey output and the white-balance measurement. Each case runs on
// every implementation the machine has.
#include <gtest/gtest.h>

#include "tests/convert/convert_test_support.h"

namespace {

using namespace convert_test;

class EveryPath : public ::testing::TestWithParam<LONG> {
 protected:
  Converter Make(ULONG w, ULONG h) {
    Converter c(w, h);
    EXPECT_EQ(c.status(), STATUS_SUCCESS);
    SetConversionPath(c.get(), GetParam());
    return c;
  }
};

INSTANTIATE_TEST_SUITE_P(Paths, EveryPath, ::testing::ValuesIn(AvailablePaths()),
                         [](const auto& info) { return std::string(PathName(info.param)); });

TEST(WorkBuffer, Geometry) {
  struct {
    ULONG w, h, stride, size;
  } cases[] = {{4608, 3288, 4635, 15258420}, {2304, 1644, 2331, 2331u * 1648}, {1152, 822, 1179, 1179u * 826},
               {576, 411, 603, 603u * 416}, {20, 9, 43, 43u * 14}};
  for (const auto& c : cases) {
    auto p = ProcessorPtr(CreateColorProcessor());
    SetFrameSize(p.get(), c.w, c.h);
    EXPECT_EQ(p->PaddedStride, c.stride) << c.w;
    EXPECT_EQ(p->PaddedSize, c.size) << c.w;
    EXPECT_EQ(p->PaddedBuffer, nullptr);  // allocation is a separate step
  }
  Converter c(20, 9);
  ColorProcessor* p = c.get();
  EXPECT_EQ(p->RawOrigin, p->PaddedBuffer + 2 * 43 + 5);
  EXPECT_EQ(p->WorkStride, 43);
  EXPECT_EQ(p->WorkWidth, 20u);
  EXPECT_EQ(p->WorkHeight, 9u);
}

TEST(WorkBuffer, ReallocationReplacesTheBuffer) {
  Converter c(16, 16);
  SetFrameSize(c.get(), 40, 10);
  ASSERT_EQ(AllocateWorkBuffer(c.get()), STATUS_SUCCESS);
  EXPECT_EQ(c.get()->WorkWidth, 40u);
  EXPECT_EQ(c.get()->WorkStride, static_cast<LONG>(c.get()->PaddedStride));
}

TEST(WorkBuffer, SizeThatWouldWrapIsRefused) {
  auto p = ProcessorPtr(CreateColorProcessor());
  SetFrameSize(p.get(), 0x10000000, 0x100);
  EXPECT_NE(AllocateWorkBuffer(p.get()), STATUS_SUCCESS);
  EXPECT_EQ(p->PaddedBuffer, nullptr);
}

TEST(LoadRawFrame, MarginsReflectAndRepeat) {
  const ULONG w = 11, h = 9;
  Converter c(w, h);
  std::vector<uint8_t> raw(w * h);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7 + 3);
  LoadRawFrame(c.get(), raw.data(), 0, w);
  auto s = [&](long x, long y) { return raw[y * w + x]; };
  for (long y = 0; y < long(h); ++y)
    for (long x = 0; x < long(w); ++x) ASSERT_EQ(c.Work(x, y), s(x, y));
  // Lines: -2 <- 2, -1 <- 1, h <- h-4, h+1 <- h-3; columns: -1 <- 1, -2 <- 2, w <- w-2, w+1 <- w-3.
  auto source_line = [&](long y) { return y == -2 ? 2 : y == -1 ? 1 : y == long(h) ? h - 4 : y == long(h) + 1 ? h - 3 : y; };
  auto source_col = [&](long x) { return x == -1 ? 1 : x == -2 ? 2 : x == long(w) ? w - 2 : x == long(w) + 1 ? w - 3 : x; };
  for (long y = -2; y <= long(h) + 1; ++y)
    for (long x = -2; x <= long(w) + 1; ++x)
      EXPECT_EQ(c.Work(x, y), s(source_col(x), source_line(y))) << x << "," << y;
}

TEST(LoadRawFrame, SmallFrameKeepsOldMargins) {
  Converter c(7, 12);
  c.Work(-1, 3) = 0x5A;
  c.Work(7, 3) = 0x5B;
  c.Work(2, -1) = 0x5C;
  const auto raw = Flat(7, 12, 9);
  LoadRawFrame(c.get(), raw.data(), 0, 7);
  EXPECT_EQ(c.Work(-1, 3), 0x5A);
  EXPECT_EQ(c.Work(7, 3), 0x5B);
  EXPECT_EQ(c.Work(2, -1), 0x5C);
  EXPECT_EQ(c.Work(6, 11), 9);
}

TEST_P(EveryPath, LongerRawLinesAreCropped) {
  const ULONG w = 20, h = 10, pitch = 29;
  auto c = Make(w, h);
  IdentityMatrix(c.get());
  std::vector<uint8_t> raw(pitch * h, 255);  // everything past the width is bright
  for (ULONG y = 0; y < h; ++y)
    for (ULONG x = 0; x < w; ++x) raw[y * pitch + x] = 60;
  c.Convert(raw, pitch);
  for (ULONG y = 0; y < h; ++y)
    for (ULONG x = 0; x < w; ++x) ASSERT_EQ(c.At(x, y), (Bgra{60, 60, 60, 255})) << x << "," << y;
}

TEST_P(EveryPath, NothingIsWrittenWithoutOutputRawOrBuffer) {
  auto c = Make(16, 8);
  const auto raw = Flat(16, 8, 50);
  ColorProcessor* p = c.get();
  p->OutputBuffer = nullptr;
  c.Convert(raw);
  p->OutputBuffer = c.output();
  ConvertFrame(p, nullptr, 0, 16);
  EXPECT_EQ(c.output()[0], Converter::kGuardByte);
  ReleaseWorkBuffer(p);
  EXPECT_EQ(p->PaddedBuffer, nullptr);
  c.Convert(raw);
  EXPECT_EQ(c.output()[0], Converter::kGuardByte);
  ASSERT_EQ(AllocateWorkBuffer(p), STATUS_SUCCESS);
  // A size change without its allocation must not convert into the old buffer.
  SetFrameSize(p, 64, 64);
  c.Convert(raw);
  EXPECT_EQ(c.output()[0], Converter::kGuardByte);
}

// ---- Defect-pixel pass (threshold 15, as Dot 1 with DotThreshold 15 gives) ----

TEST_P(EveryPath, DefectPassReplacesAtTheThresholdOnly) {
  for (int value : {115, 85, 114, 86}) {
    auto c = Make(24, 16);
    SetActiveDotThreshold(c.get(), 15);
    auto raw = Flat(24, 16, 100);
    raw[7 * 24 + 9] = static_cast<uint8_t>(value);
    c.Convert(raw);
    const int expected = (value == 115 || value == 85) ? 100 : value;
    EXPECT_EQ(c.Work(9, 7), expected) << value;
  }
}

TEST_P(EveryPath, BrightDefectPullsEarlierNeighboursFirst) {
  const ULONG w = 40, h = 20;
  auto c = Make(w, h);
  SetActiveDotThreshold(c.get(), 15);
  auto raw = Flat(w, h, 100);
  const long x = 17, y = 9;
  raw[y * w + x] = 255;
  c.Convert(raw);
  EXPECT_EQ(c.Work(x - 2, y), 138);
  EXPECT_EQ(c.Work(x, y - 2), 138);
  EXPECT_EQ(c.Work(x, y), 119);
  EXPECT_EQ(c.Work(x + 2, y), 100);
  EXPECT_EQ(c.Work(x, y + 2), 100);
  int changed = 0;
  for (long yy = 0; yy < long(h); ++yy)
    for (long xx = 0; xx < long(w); ++xx) changed += c.Work(xx, yy) != 100;
  EXPECT_EQ(changed, 3);
}

TEST_P(EveryPath, DefectPassIsOffWithoutThresholdAndSparesEdges) {
  // Threshold 0 (Dot off): nothing changes.
  {
    auto c = Make(24, 16);
    auto raw = Flat(24, 16, 100);
    raw[7 * 24 + 9] = 255;
    c.Convert(raw);
    EXPECT_EQ(c.Work(9, 7), 255);
  }
  // Samples within two of the edge never change.
  {
    const ULONG w = 24, h = 16;
    auto c = Make(w, h);
    SetActiveDotThreshold(c.get(), 15);
    auto raw = Flat(w, h, 100);
    for (ULONG x = 0; x < w; ++x) raw[1 * w + x] = 250;
    for (ULONG y = 0; y < h; ++y) raw[y * w + (w - 2)] = 250;
    c.Convert(raw);
    for (ULONG x = 0; x < w; ++x) EXPECT_EQ(c.Work(x, 1), 250);
    for (ULONG y = 0; y < h; ++y) EXPECT_EQ(c.Work(w - 2, y), 250);
  }
  // A frame 4 or less wide or high changes nowhere.
  for (auto [w, h] : {std::pair<ULONG, ULONG>{4, 16}, {24, 4}}) {
    auto c = Make(w, h);
    SetActiveDotThreshold(c.get(), 15);
    std::vector<uint8_t> raw(w * h);
    std::mt19937 rng(w);
    for (auto& v : raw) v = static_cast<uint8_t>(rng());
    c.Convert(raw);
    for (ULONG y = 0; y < h; ++y)
      for (ULONG x = 0; x < w; ++x) ASSERT_EQ(c.Work(x, y), raw[y * w + x]) << w << "x" << h;
  }
}

// ---- Interpolation, gains and the colour matrix ----

TEST_P(EveryPath, FlatFieldIsFlatInEveryPhase) {
  for (LONG phase : {0, 1, 2, 3}) {
    auto c = Make(33, 11);
    IdentityMatrix(c.get());
    SetBayerPhase(c.get(), phase);
    c.Convert(Flat(33, 11, 77));
    for (ULONG y = 0; y < 11; ++y)
      for (ULONG x = 0; x < 33; ++x) ASSERT_EQ(c.At(x, y), (Bgra{77, 77, 77, 255})) << phase << " " << x << "," << y;
    EXPECT_TRUE(c.GuardIntact());
  }
}

TEST_P(EveryPath, LoneRedSampleInRggb) {
  const ULONG w = 20, h = 12;
  auto c = Make(w, h);
  IdentityMatrix(c.get());
  SetBayerPhase(c.get(), 2);
  auto raw = Flat(w, h, 0);
  raw[6 * w + 8] = 255;  // even line, even column: red in RGGB
  c.Convert(raw);
  EXPECT_EQ(c.At(8, 6), (Bgra{191, 128, 255, 255}));
  EXPECT_EQ(c.At(7, 6).r, 128);
  EXPECT_EQ(c.At(9, 6).r, 128);
}

TEST_P(EveryPath, GainsScaleAndSaturate) {
  auto c = Make(20, 9);
  IdentityMatrix(c.get());
  SetRedGain(c.get(), 0);
  SetGreenGain(c.get(), 256);
  SetBlueGain(c.get(), 192);
  c.Convert(Flat(20, 9, 128));
  EXPECT_EQ(c.At(5, 4), (Bgra{192, 255, 0, 255}));
  // Only the low 16 bits of a gain count: 65536 + 64 acts as 64.
  SetRedGain(c.get(), 65536 + 64);
  c.Convert(Flat(20, 9, 128));
  EXPECT_EQ(c.At(5, 4).r, 64);
}

// Runs the demosaic alone with a chosen matrix snapshot and gains.
void DemosaicWithMatrix(Converter& c, const std::vector<uint8_t>& raw, const LONG (&matrix)[16], LONG gain = 128) {
  ColorProcessor* p = c.get();
  LoadRawFrame(p, raw.data(), 0, c.width());
  p->OutputCursor = p->OutputBuffer;
  for (int i = 0; i < 3; ++i) p->GainSnapshot[i] = gain;
  for (int k = 0; k < 16; ++k) {
    p->MatrixSnapshot[k] = matrix[k];
    p->SignTable[k] = matrix[k] > 0 ? 1 : 0;
  }
  DemosaicColor(p, 0);
}

TEST_P(EveryPath, MatrixSumsNeverWrap) {
  auto c = Make(20, 9);
  const LONG m[16] = {100, 0, 0, 0, 100, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 64};
  DemosaicWithMatrix(c, Flat(20, 9, 255), m);
  EXPECT_EQ(c.At(3, 3), (Bgra{0, 0, 255, 255}));  // not 171
}

TEST_P(EveryPath, ConstantsOffsetAndResultsClamp) {
  auto c = Make(20, 9);
  // red + 10, green - 10, blue: 2 x blue - 200 clamps low at 60 and high at 200.
  const LONG m[16] = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 128, 0, 640, -640, -12800, 64};
  DemosaicWithMatrix(c, Flat(20, 9, 60), m);
  EXPECT_EQ(c.At(0, 0), (Bgra{0, 50, 70, 255}));
  DemosaicWithMatrix(c, Flat(20, 9, 200), m);
  EXPECT_EQ(c.At(19, 8), (Bgra{200, 190, 210, 255}));
  DemosaicWithMatrix(c, Flat(20, 9, 250), m);
  EXPECT_EQ(c.At(10, 4), (Bgra{255, 240, 255, 255}));
}

TEST_P(EveryPath, EachAccumulatorTruncatesBeforeTheDifference) {
  auto c = Make(20, 9);
  // Red: P = 100 -> 1, N = 63 -> 0, so 1, where (P - N) >> 6 would give 0.
  const LONG m[16] = {1, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, -63, 0, 0, 64};
  DemosaicWithMatrix(c, Flat(20, 9, 100), m);
  EXPECT_EQ(c.At(4, 4), (Bgra{100, 100, 1, 255}));
}

TEST_P(EveryPath, LinesAreExactlyWidthPixels) {
  for (ULONG w : {20u, 33u, 8u, 47u}) {
    auto c = Make(w, 9);
    IdentityMatrix(c.get());
    std::vector<uint8_t> raw(w * 9);
    for (ULONG y = 0; y < 9; ++y)
      for (ULONG x = 0; x < w; ++x) raw[y * w + x] = static_cast<uint8_t>(10 + 20 * y);
    c.Convert(raw);
    EXPECT_TRUE(c.GuardIntact()) << w;
    for (ULONG y = 2; y < 7; ++y) EXPECT_EQ(c.output()[(y * w) * 4 + 1], 10 + 20 * y) << w;
  }
}

// ---- Grey output ----

TEST_P(EveryPath, GreyTruncatesEachTerm) {
  struct {
    uint8_t sample;
    LONG red_gain;
    uint8_t luma;
  } cases[] = {{255, 128, 253}, {100, 128, 99}, {1, 128, 0}, {100, 256, 129}, {100, 0, 69}};
  for (const auto& k : cases) {
    auto c = Make(16, 10);
    SetColorEnable(c.get(), 0);
    SetRedGain(c.get(), k.red_gain);
    c.Convert(Flat(16, 10, k.sample));
    EXPECT_EQ(c.At(7, 5), (Bgra{k.luma, k.luma, k.luma, 255})) << int(k.sample) << " " << k.red_gain;
  }
  auto c = Make(16, 10);
  SetColorEnable(c.get(), 0);
  SetRedGain(c.get(), 0);
  SetGreenGain(c.get(), 0);
  SetBlueGain(c.get(), 0);
  c.Convert(Flat(16, 10, 200));
  EXPECT_EQ(c.At(0, 9), (Bgra{0, 0, 0, 255}));
}

// ---- White balance ----

// A mosaic with constant red, green and blue samples in phase 0 (GRBG).
std::vector<uint8_t> Channels(ULONG w, ULONG h, uint8_t r, uint8_t g, uint8_t b) {
  std::vector<uint8_t> raw(w * h);
  for (ULONG y = 0; y < h; ++y)
    for (ULONG x = 0; x < w; ++x) raw[y * w + x] = (y % 2 == 0) ? ((x % 2 == 0) ? g : r) : ((x % 2 == 0) ? b : g);
  return raw;
}

TEST_P(EveryPath, WhiteBalanceGreyWorld) {
  {
    auto c = Make(21, 9);
    SetWhiteBalance(c.get(), 1);
    SetRedGain(c.get(), 300);
    SetGreenGain(c.get(), 50);
    c.Convert(Flat(21, 9, 90));
    EXPECT_EQ(c.get()->RedGain, 128);
    EXPECT_EQ(c.get()->GreenGain, 128);
    EXPECT_EQ(c.get()->BlueGain, 128);
  }
  {
    auto c = Make(21, 9);
    SetWhiteBalance(c.get(), 1);
    c.Convert(Channels(21, 9, 50, 100, 100));
    EXPECT_EQ(c.get()->RedGain, 256);
    EXPECT_EQ(c.get()->GreenGain, 128);
    EXPECT_EQ(c.get()->BlueGain, 128);
    // The measured gains apply to the same frame.
    IdentityMatrix(c.get());
    c.Convert(Channels(21, 9, 50, 100, 100));
    EXPECT_EQ(c.At(10, 4), (Bgra{100, 100, 100, 255}));
  }
}

TEST_P(EveryPath, WhiteBalanceGainsStayInRange) {
  {
    // No red at all: the largest gain.
    auto c = Make(16, 8);
    SetWhiteBalance(c.get(), 1);
    c.Convert(Channels(16, 8, 0, 100, 50));
    EXPECT_EQ(c.get()->RedGain, 512);
    EXPECT_EQ(c.get()->BlueGain, 256);
  }
  {
    // Very little red: clamped at 512.
    auto c = Make(16, 8);
    SetWhiteBalance(c.get(), 1);
    c.Convert(Channels(16, 8, 1, 200, 200));
    EXPECT_EQ(c.get()->RedGain, 512);
  }
  {
    // A black frame leaves every gain as it was.
    auto c = Make(16, 8);
    SetWhiteBalance(c.get(), 1);
    SetRedGain(c.get(), 300);
    SetGreenGain(c.get(), 200);
    SetBlueGain(c.get(), 100);
    c.Convert(Flat(16, 8, 0));
    EXPECT_EQ(c.get()->RedGain, 300);
    EXPECT_EQ(c.get()->GreenGain, 200);
    EXPECT_EQ(c.get()->BlueGain, 100);
  }
}

TEST_P(EveryPath, WhiteBalanceCountsHotPixelsAndOnlyTheImage) {
  const ULONG w = 33, h = 9;
  // The measurement runs before the defect pass, so a hot sample moves the gains even though
  // the pass removes it from the picture.
  auto clean = Make(w, h);
  auto hot = Make(w, h);
  for (auto* c : {&clean, &hot}) {
    SetWhiteBalance(c->get(), 1);
    SetActiveDotThreshold(c->get(), 15);
  }
  auto raw = Channels(w, h, 100, 100, 100);
  clean.Convert(raw);
  raw[4 * w + 10] = 255;
  hot.Convert(raw);
  EXPECT_EQ(clean.get()->RedGain, 128);
  EXPECT_EQ(clean.get()->BlueGain, 128);
  EXPECT_NE(std::make_pair(hot.get()->RedGain, hot.get()->BlueGain), std::make_pair(LONG(128), LONG(128)));
  EXPECT_EQ(hot.Work(10, 4), 119);  // the defect pass still ran

  // Slack after the image is never summed: poison it and measure again.
  LONG r = 0, g = 0, b = 0;
  MeasureWhiteBalanceGRBG(hot.get(), &r, &g, &b);
  for (ULONG y = 0; y < h; ++y)
    for (long x = w + 2; x < hot.get()->WorkStride - 5; ++x) hot.Work(x, y) = 255;
  LONG r2 = 0, g2 = 0, b2 = 0;
  MeasureWhiteBalanceGRBG(hot.get(), &r2, &g2, &b2);
  EXPECT_EQ(g2, 128);
  EXPECT_EQ(r2, r);
  EXPECT_EQ(b2, b);
}

TEST_P(EveryPath, PhaseOutsideRangeConvertsAsGbrg) {
  std::vector<uint8_t> raw(24 * 10);
  std::mt19937 rng(5);
  for (auto& v : raw) v = static_cast<uint8_t>(rng());
  auto a = Make(24, 10);
  auto b = Make(24, 10);
  SetBayerPhase(a.get(), 3);
  SetBayerPhase(b.get(), 9);
  a.Convert(raw);
  b.Convert(raw);
  EXPECT_EQ(a.Image(), b.Image());
}

}  // namespace
