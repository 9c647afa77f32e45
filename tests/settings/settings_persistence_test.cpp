// When and how the settings reach the hive file: every filter close and device Stop, each
// write atomic, a damaged file set aside.
#include <fstream>
#include <sstream>

#include "host/registry/device_keys.h"
#include "property/camera_property_set.h"
#include "tests/camera/camera_host.h"

namespace kscam::camera_test {
namespace {

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

constexpr const char* kValueOrder[] = {
    "Timeout", "Exposure", "GlobalGain", "FlipH", "FlipV", "ColorEnable", "WhiteBalance", "ColorCorrection",
    "Brightness", "Contrast", "Saturation", "Hue", "RedGain", "GreenGain", "BlueGain", "AGC", "AEC", "Clock",
    "ExTrigger", "SubSample", "RoiX", "RoiY", "RoiW", "RoiH", "Dot", "DotThreshold"};

class SettingsPersistence : public ::testing::Test {
 protected:
  void TearDown() override { InterlockedExchange(&FrameTimeout, saved_); }
  LONG saved_ = ReadAcquire(&FrameTimeout);
};

TEST_F(SettingsPersistence, EveryFilterCloseSavesAllValuesInOrderAndSavesRepeatIdentically) {
  CameraHost host;
  {
    auto filter = host.device().OpenFilter();
    ASSERT_NE(filter, nullptr);
    ASSERT_EQ(filter->Set(kPropBrightness, 300), STATUS_SUCCESS);
  }
  const std::string first = ReadFile(host.settings_file());
  EXPECT_NE(first.find("\"Brightness\"=dword:0000012c"), std::string::npos) << first;
  size_t at = 0;
  for (const char* name : kValueOrder) {
    const size_t found = first.find(std::string("\"") + name + "\"=dword:", at);
    ASSERT_NE(found, std::string::npos) << name << " missing or out of order";
    at = found;
  }
  // Nothing changed: the next close writes the same file, and so does Stop.
  host.device().OpenFilter().reset();
  EXPECT_EQ(ReadFile(host.settings_file()), first);
  host.Remove();
  EXPECT_EQ(ReadFile(host.settings_file()), first);
}

TEST_F(SettingsPersistence, ACrashBeforeTheRenameLeavesThePreviousFile) {
  CameraHost host(QuietCamera(), "\"Brightness\"=dword:0000012c\n");
  EXPECT_EQ(host.cam()->settings.brightness, 300u);
  const std::string before = ReadFile(host.settings_file());

  // The driver's key handles go through a hive whose writes stop where a crash would.
  std::string error;
  auto crashing = host::registry::Hive::Open(host.settings_file(), &error);
  ASSERT_TRUE(crashing) << error;
  PDEVICE_OBJECT pdo = host.device().device().ks_device()->PhysicalDeviceObject;
  ASSERT_EQ(host::registry::AttachDeviceKey(pdo, crashing, 0), STATUS_SUCCESS);
  crashing->SetBeforeReplaceHook([] { return false; });
  {
    auto filter = host.device().OpenFilter();
    ASSERT_NE(filter, nullptr);
    ASSERT_EQ(filter->Set(kPropBrightness, 400), STATUS_SUCCESS);
  }
  EXPECT_EQ(ReadFile(host.settings_file()), before);
  EXPECT_FALSE(crashing->TakeWriteError().empty());

  // The next save goes through whole.
  crashing->SetBeforeReplaceHook(nullptr);
  host.device().OpenFilter().reset();
  EXPECT_NE(ReadFile(host.settings_file()).find("\"Brightness\"=dword:00000190"), std::string::npos);
  host.Remove();
}

TEST_F(SettingsPersistence, ADamagedFileIsKeptAsideAndTheDefaultsApply) {
  CameraHost host(QuietCamera(), "\"Brightness\"=dword:0000012c\nthis line is not a registry value\n");
  EXPECT_EQ(host.cam()->settings.brightness, 255u);
  const std::filesystem::path bad = host.settings_file().string() + ".bad";
  ASSERT_TRUE(std::filesystem::exists(bad));
  EXPECT_NE(ReadFile(bad).find("this line is not a registry value"), std::string::npos);
  host.Remove();
  // The next save writes a sound file with the defaults.
  const std::string text = ReadFile(host.settings_file());
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00", 0), 0u);
  EXPECT_NE(text.find("\"Brightness\"=dword:000000ff"), std::string::npos);
}

TEST_F(SettingsPersistence, EmptyValuesCountAsMissing) {
  CameraHost host(QuietCamera(), "\"Contrast\"=hex:\n\"Saturation\"=hex:07,00\n\"Brightness\"=hex(4):\n");
  EXPECT_EQ(host.cam()->settings.contrast, 10u);
  EXPECT_EQ(host.cam()->settings.saturation, 7u);
  EXPECT_EQ(host.cam()->settings.brightness, 255u);
}

}  // namespace
}  // namespace kscam::camera_test
