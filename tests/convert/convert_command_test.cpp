// `kscam convert`: options, errors and exit codes, and the three output formats.
#include <gtest/gtest.h>

#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/kscam/convert_commands.h"

namespace {

namespace fs = std::filesystem;

class ConvertCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kscam_convert_" + std::to_string(getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  std::string WriteRaw(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(Path(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return Path(name);
  }

  static std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }

  fs::path dir_;
};

std::vector<uint8_t> Flat(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

TEST_F(ConvertCommand, WritesRawBgraTopRowFirst) {
  // Top half dark, bottom half bright; correction off so grey stays exactly grey.
  std::vector<uint8_t> raw(16 * 12, 40);
  for (size_t i = 16 * 6; i < raw.size(); ++i) raw[i] = 200;
  const auto in = WriteRaw("in.raw", raw);
  ASSERT_EQ(kscam::RunConvertCommand({in, "--size", "16x12", "--set", "colorcorrection=0", "-o", Path("o.bgra")}), 0);
  const auto out = ReadFile(Path("o.bgra"));
  ASSERT_EQ(out.size(), 16u * 12 * 4);
  EXPECT_EQ(out[0], 40);
  EXPECT_EQ(out[3], 255);
  EXPECT_EQ(out[out.size() - 4], 200);
}

TEST_F(ConvertCommand, PitchCropsAndSettingsApply) {
  std::vector<uint8_t> raw(24 * 10, 255);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 16; ++x) raw[y * 24 + x] = 100;
  const auto in = WriteRaw("in.raw", raw);
  ASSERT_EQ(kscam::RunConvertCommand({in, "--size=16x10", "--pitch", "24", "--phase", "2", "--set", "ColorCorrection=0",
                                      "--set", "BRIGHTNESS=0x12D", "--set", "redgain=9999", "-o", Path("o.bgra")}),
            0);
  const auto out = ReadFile(Path("o.bgra"));
  ASSERT_EQ(out.size(), 16u * 10 * 4);
  // Brightness 301 adds 46; the red gain is clamped to 512 (x4) and saturates.
  EXPECT_EQ(out[4 * 20 + 0], 146);
  EXPECT_EQ(out[4 * 20 + 1], 146);
  EXPECT_EQ(out[4 * 20 + 2], 255);
}

TEST_F(ConvertCommand, WritesPngAndBmp) {
  std::vector<uint8_t> raw(20 * 8, 90);
  const auto in = WriteRaw("in.raw", raw);
  ASSERT_EQ(kscam::RunConvertCommand({in, "--size", "20x8", "--set", "ColorEnable=0", "-o", Path("o.png")}), 0);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, Path("o.png").c_str()));
  EXPECT_EQ(image.width, 20u);
  EXPECT_EQ(image.height, 8u);
  EXPECT_EQ(image.format, PNG_FORMAT_RGB);
  png_image_free(&image);

  ASSERT_EQ(kscam::RunConvertCommand({in, "--size", "20x8", "--set", "ColorEnable=0", "-o", Path("o.BMP")}), 0);
  const auto bmp = ReadFile(Path("o.BMP"));
  ASSERT_EQ(bmp.size(), 54u + 20 * 8 * 4);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[28], 32);  // bits per pixel
  EXPECT_EQ(bmp[54], 89);  // grey of 90: 27 + 52 + 10
}

TEST_F(ConvertCommand, WhiteBalancePrintsTheGains) {
  std::vector<uint8_t> raw(16 * 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) raw[y * 16 + x] = (y % 2 == 0 && x % 2 == 1) ? 50 : 100;  // red half of green
  const auto in = WriteRaw("in.raw", raw);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(kscam::RunConvertCommand({in, "--size", "16x8", "--set", "WhiteBalance=1", "-o", Path("o.bgra")}), 0);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("red 256"), std::string::npos) << printed;
  EXPECT_NE(printed.find("green 128"), std::string::npos) << printed;
}

TEST_F(ConvertCommand, UsageErrorsExitTwo) {
  const auto in = WriteRaw("in.raw", Flat(16 * 8, 10));
  const auto out = Path("o.png");
  const std::vector<std::vector<std::string>> cases = {
      {in, "--size", "16x8"},                                      // no output
      {"--size", "16x8", "-o", out},                               // no input
      {in, "-o", out},                                             // no size
      {in, "--size", "16x8", "--frobnicate", "-o", out},           // unknown option
      {in, "--size", "16x8", "--set", "Sharpness=3", "-o", out},   // unknown name
      {in, "--size", "16x8", "--set", "Hue=12a", "-o", out},       // malformed number
      {in, "--size", "16x8", "--set", "Hue", "-o", out},           // no value
      {in, "--size", "16by8", "-o", out},                          // malformed size
      {in, "--size", "7x8", "-o", out},                            // too small
      {in, "--size", "4609x8", "-o", out},                         // too large
      {in, "--size", "16x9", "-o", out},                           // input too short
      {in, "--size", "16x8", "--pitch", "17", "-o", out},          // too short with the pitch
      {in, "--size", "16x8", "--pitch", "8", "-o", out},           // pitch below the width
      {in, "--size", "16x8", "--phase", "4", "-o", out},           // phase out of range
      {Path("missing.raw"), "--size", "16x8", "-o", out},          // unreadable input
      {in, "--size", "16x8", "-o", Path("o.jpg")},                 // unknown format
      {in, "--size"},                                              // option without its value
  };
  for (const auto& args : cases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(kscam::RunConvertCommand(args), 2) << ::testing::PrintToString(args);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(ConvertCommand, UnwritableOutputExitsOne) {
  const auto in = WriteRaw("in.raw", Flat(16 * 8, 10));
  for (const std::string name : {"no/such/dir/o.png", "no/such/dir/o.bmp", "no/such/dir/o.bgra"}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(kscam::RunConvertCommand({in, "--size", "16x8", "-o", Path(name)}), 1) << name;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

}  // namespace

namespace {

TEST(BenchConvert, PrintsOneJsonObjectPerCase) {
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(kscam::RunBenchConvert({"--size", "64x32", "--runs", "1"}), 0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(out.substr(start, end - start));
  ASSERT_EQ(lines.size(), 4u) << out;
  const char* names[] = {"colour", "grey", "colour-wb", "colour-dot"};
  for (size_t i = 0; i < 4; ++i) {
    const std::string& line = lines[i];
    EXPECT_EQ(line.rfind(std::string("{\"case\": \"") + names[i] + "\", \"width\": 64, \"height\": 32, \"ms_per_frame\": ", 0),
              0u)
        << line;
    size_t at = 0;
    for (const char* key : {"\"ms_per_frame\": ", "\"memcpy_ms\": ", "\"ratio_memcpy\": ", "\"hqlinear_ms\": ",
                            "\"ratio_hqlinear\": ", "\"path\": "}) {
      const size_t found = line.find(key, at);
      ASSERT_NE(found, std::string::npos) << key << " in " << line;
      at = found;
    }
    EXPECT_EQ(line.back(), '}');
    if (!kscam::HqLinearAvailable()) EXPECT_NE(line.find("\"hqlinear_ms\": null"), std::string::npos);
    // Automatic names the path it resolved to, never itself.
    EXPECT_EQ(line.find("\"path\": \"automatic\""), std::string::npos) << line;
  }
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(kscam::RunBenchConvert({"--runs", "0"}), 2);
  EXPECT_EQ(kscam::RunBenchConvert({"--fast"}), 2);
  EXPECT_EQ(kscam::RunBenchConvert({"--path", "avx3"}), 2);
  EXPECT_EQ(kscam::RunBenchConvert({"--path"}), 2);
  ::testing::internal::GetCapturedStderr();
}

// A forced path runs as asked, the scalar one on every processor.
TEST(BenchConvert, ForcedPathIsTheOneReported) {
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(kscam::RunBenchConvert({"--size", "64x32", "--runs", "1", "--path", "scalar"}), 0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  size_t lines = 0;
  for (size_t at = 0; (at = out.find("\"path\": \"scalar\"}\n", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 4u) << out;
}

}  // namespace
