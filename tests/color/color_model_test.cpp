// The colour model: settings to the published integer matrix, change detection, and a
// publication never seen half-done by a frame's snapshot.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "color/color_processor.h"

namespace {

using Rows = std::array<std::array<LONG, 3>, 4>;

struct ProcessorDeleter {
  void operator()(ColorProcessor* p) const { DestroyColorProcessor(p); }
};
using ProcessorPtr = std::unique_ptr<ColorProcessor, ProcessorDeleter>;

ProcessorPtr MakeProcessor() {
  ProcessorPtr p(CreateColorProcessor());
  EXPECT_NE(p, nullptr);
  return p;
}

Rows Published(ColorProcessor* p) {
  LONG m[16];
  CopyPublishedMatrix(p, m);
  Rows rows;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) rows[i][j] = m[4 * i + j];
  return rows;
}

struct Settings {
  LONG correction = 1, brightness = 255, contrast = 10, saturation = 10, hue = 0;
};

void Apply(ColorProcessor* p, const Settings& s) {
  UpdateColorCorrection(p, s.correction);
  UpdateBrightness(p, s.brightness);
  UpdateContrast(p, s.contrast);
  UpdateSaturation(p, s.saturation);
  UpdateHue(p, s.hue);
}

struct MatrixCase {
  const char* name;
  Settings settings;
  Rows expected;
};

Settings Off() {
  Settings s;
  s.correction = 0;
  return s;
}
Settings With(Settings s, LONG Settings::*field, LONG value) {
  s.*field = value;
  return s;
}

const MatrixCase kCases[] = {
    {"creation", Settings{}, {{{87, -16, -6}, {-14, 90, -20}, {-9, -10, 91}, {0, 0, 0}}}},
    {"correction_off", Off(), {{{64, 0, 0}, {0, 64, 0}, {0, 0, 64}, {0, 0, 0}}}},
    {"brightness_510", With(Off(), &Settings::brightness, 510),
     {{{64, 0, 0}, {0, 64, 0}, {0, 0, 64}, {16320, 16320, 16320}}}},
    {"brightness_0", With(Off(), &Settings::brightness, 0),
     {{{64, 0, 0}, {0, 64, 0}, {0, 0, 64}, {-16320, -16320, -16320}}}},
    {"contrast_0", With(Off(), &Settings::contrast, 0), {{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {8192, 8192, 8192}}}},
    {"contrast_20", With(Off(), &Settings::contrast, 20),
     {{{128, 0, 0}, {0, 128, 0}, {0, 0, 128}, {-8192, -8192, -8192}}}},
    {"contrast_15", With(Off(), &Settings::contrast, 15),
     {{{96, 0, 0}, {0, 96, 0}, {0, 0, 96}, {-4096, -4096, -4096}}}},
    {"contrast_5_brightness_300", With(With(Off(), &Settings::contrast, 5), &Settings::brightness, 300),
     {{{32, 0, 0}, {0, 32, 0}, {0, 0, 32}, {5536, 5536, 5536}}}},
    {"saturation_0", With(Settings{}, &Settings::saturation, 0),
     {{{20, 20, 20}, {39, 39, 39}, {5, 5, 5}, {0, 0, 0}}}},
    {"saturation_0_correction_off", With(Off(), &Settings::saturation, 0),
     {{{20, 20, 20}, {39, 39, 39}, {5, 5, 5}, {0, 0, 0}}}},
    {"saturation_20", With(Off(), &Settings::saturation, 20),
     {{{108, -20, -20}, {-39, 89, -39}, {-5, -5, 123}, {0, 0, 0}}}},
    {"hue_180", With(Off(), &Settings::hue, 180), {{{-24, 40, 40}, {78, 14, 78}, {10, 10, -54}, {0, 0, 0}}}},
    {"hue_120", With(Off(), &Settings::hue, 120), {{{-19, 45, -19}, {34, 34, 98}, {49, -15, -15}, {0, 0, 0}}}},
    {"hue_1", With(Off(), &Settings::hue, 1), {{{64, 0, -1}, {0, 64, 1}, {1, 0, 64}, {0, 0, 0}}}},
    {"all_stages", Settings{1, 300, 12, 14, 30},
     {{{103, 3, -85}, {-70, 131, 14}, {44, -57, 147}, {1818, 1818, 1818}}}},
    {"largest_constant", Settings{1, 0, 20, 0, 0},
     {{{40, 40, 40}, {78, 78, 78}, {10, 10, 10}, {-40832, -40832, -40832}}}},
};

class IntegerMatrix : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(IntegerMatrix, ComesOutExactly) {
  auto p = MakeProcessor();
  Apply(p.get(), GetParam().settings);
  EXPECT_EQ(Published(p.get()), GetParam().expected);
  LONG m[16];
  CopyPublishedMatrix(p.get(), m);
  EXPECT_EQ(m[3], 0);
  EXPECT_EQ(m[7], 0);
  EXPECT_EQ(m[11], 0);
  EXPECT_EQ(m[15], 64);
}

INSTANTIATE_TEST_SUITE_P(Settings, IntegerMatrix, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ColorModel, CreationValues) {
  auto p = MakeProcessor();
  EXPECT_EQ(p->BayerPhase, 0);
  EXPECT_EQ(p->ColorEnable, 1);
  EXPECT_EQ(p->WhiteBalance, 0);
  EXPECT_EQ(p->RedGain, 128);
  EXPECT_EQ(p->GreenGain, 128);
  EXPECT_EQ(p->BlueGain, 128);
  EXPECT_EQ(p->ColorCorrection, 1);
  EXPECT_EQ(p->Brightness, 255);
  EXPECT_EQ(p->Contrast, 10);
  EXPECT_EQ(p->Saturation, 10);
  EXPECT_EQ(p->Hue, 0);
  EXPECT_EQ(p->ActiveDotThreshold, 0);
  EXPECT_EQ(p->PaddedBuffer, nullptr);
  EXPECT_EQ(p->OutputBuffer, nullptr);
  EXPECT_DOUBLE_EQ(p->CorrectionMatrix[0][0], static_cast<double>(1.36f));
  EXPECT_DOUBLE_EQ(p->CorrectionMatrix[2][2], 1.4199999570846558);
}

TEST(ColorModel, HueBackToZeroIsIdentityAgain) {
  auto p = MakeProcessor();
  UpdateColorCorrection(p.get(), 0);
  UpdateHue(p.get(), 77);
  UpdateHue(p.get(), 0);
  EXPECT_EQ(Published(p.get()), (Rows{{{64, 0, 0}, {0, 64, 0}, {0, 0, 64}, {0, 0, 0}}}));
}

TEST(ColorModel, UnchangedUpdateRebuildsAndPublishesNothing) {
  auto p = MakeProcessor();
  UpdateContrast(p.get(), 14);
  const LONG sequence = p->MatrixSequence;
  double contrast[4][4];
  memcpy(contrast, p->ContrastMatrix, sizeof contrast);
  // Scribble on the stage: a rebuild would restore it.
  p->ContrastMatrix[0][0] = 99.0;
  UpdateContrast(p.get(), 14);
  UpdateColorCorrection(p.get(), 1);
  UpdateBrightness(p.get(), 255);
  UpdateSaturation(p.get(), 10);
  UpdateHue(p.get(), 0);
  EXPECT_EQ(p->MatrixSequence, sequence);
  EXPECT_EQ(p->ContrastMatrix[0][0], 99.0);

  UpdateContrast(p.get(), 15);
  EXPECT_EQ(p->MatrixSequence, sequence + 2);
  EXPECT_EQ(p->Contrast, 15);
}

TEST(ColorModel, StageBuildersLimitFromAbove) {
  auto a = MakeProcessor();
  auto b = MakeProcessor();
  BuildBrightnessStage(a.get(), 600);
  BuildBrightnessStage(b.get(), 510);
  BuildContrastStage(a.get(), 25);
  BuildContrastStage(b.get(), 20);
  BuildSaturationStage(a.get(), 1000);
  BuildSaturationStage(b.get(), 20);
  EXPECT_EQ(Published(a.get()), Published(b.get()));
  // The builders do not store the setting.
  EXPECT_EQ(a->Brightness, 255);
}

TEST(ColorModel, ContrastFactorIsSinglePrecision) {
  auto p = MakeProcessor();
  BuildContrastStage(p.get(), 1);
  EXPECT_EQ(p->ContrastMatrix[0][0], 0.09999996423721313);
}

TEST(ColorModel, MultiplyMayWriteOverEitherOperand) {
  double p[4][4], q[4][4], expected[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      p[i][j] = i * 4 + j + 1;
      q[i][j] = (i == j) ? 2.0 : 0.5 * j;
    }
  MultiplyMatrix(p, q, expected);
  double r[4][4];
  memcpy(r, p, sizeof r);
  MultiplyMatrix(r, q, r);
  EXPECT_EQ(0, memcmp(r, expected, sizeof r));
  memcpy(r, q, sizeof r);
  MultiplyMatrix(p, r, r);
  EXPECT_EQ(0, memcmp(r, expected, sizeof r));
  // Q is on the left: row 0 of Q times column 0 of P.
  EXPECT_DOUBLE_EQ(expected[0][0], 2.0 * 1 + 0.5 * 5 + 1.0 * 9 + 1.5 * 13);
}

// One thread keeps publishing two matrices that differ in every entry; the other keeps
// taking snapshots. Every snapshot must be one of the two, whole.
TEST(ColorModelThreads, SnapshotNeverMixesTwoPublications) {
  auto p = MakeProcessor();
  UpdateColorCorrection(p.get(), 0);
  UpdateHue(p.get(), 180);
  LONG first[16];
  CopyPublishedMatrix(p.get(), first);
  UpdateHue(p.get(), 90);
  LONG second[16];
  CopyPublishedMatrix(p.get(), second);

  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    for (int i = 0; i < 20000 && !stop.load(); ++i) UpdateHue(p.get(), (i & 1) ? 90 : 180);
    stop.store(true);
  });
  int mixed = 0;
  int snapshots = 0;
  while (!stop.load()) {
    LONG m[16];
    CopyPublishedMatrix(p.get(), m);
    ++snapshots;
    if (memcmp(m, first, sizeof m) != 0 && memcmp(m, second, sizeof m) != 0) ++mixed;
  }
  publisher.join();
  EXPECT_EQ(mixed, 0) << "of " << snapshots << " snapshots";
}

}  // namespace
