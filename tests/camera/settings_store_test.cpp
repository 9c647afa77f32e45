// The stored settings: loaded at Start over their defaults with their limits, applied to the
// camera, and written back at Stop.
#include <fstream>
#include <sstream>

#include "camera/sensor.h"
#include "settings/settings_store.h"
#include "tests/camera/camera_host.h"

namespace kscam::camera_test {
namespace {

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The driver-wide frame time-out is restored after each test.
class SettingsStore : public ::testing::Test {
 protected:
  void TearDown() override { InterlockedExchange(&FrameTimeout, saved_); }
  LONG saved_ = ReadAcquire(&FrameTimeout);
};

TEST_F(SettingsStore, FirstStartCreatesTheKeyAndSaveWritesEveryValue) {
  CameraHost host;
  const std::string settings_key = host::registry::DriverKeyPath(0) + "\\Settings";
  bool created = true;
  ASSERT_EQ(host.hive().CreateKey(settings_key, "", &created), STATUS_SUCCESS);
  host::registry::Value value;
  EXPECT_EQ(host.hive().QueryValue(settings_key, "Exposure", &value), STATUS_OBJECT_NAME_NOT_FOUND);

  host.Remove();  // Stop saves
  const std::string text = ReadFile(host.settings_file());
  for (const char* line :
       {"\"Timeout\"=dword:00000bb8", "\"Exposure\"=dword:00000001", "\"GlobalGain\"=dword:00000000",
        "\"FlipH\"=dword:00000000", "\"ColorEnable\"=dword:00000001", "\"Brightness\"=dword:000000ff",
        "\"Contrast\"=dword:0000000a", "\"RedGain\"=dword:00000080", "\"Clock\"=dword:00000000",
        "\"RoiW\"=dword:00001200", "\"RoiH\"=dword:00000cd8", "\"DotThreshold\"=dword:0000001e"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  // In the order they are read.
  EXPECT_LT(text.find("\"Timeout\""), text.find("\"Exposure\""));
  EXPECT_LT(text.find("\"AEC\""), text.find("\"Clock\""));
  EXPECT_LT(text.find("\"RoiH\""), text.find("\"DotThreshold\""));
}

TEST_F(SettingsStore, StoredValuesAreLimitedAndApplied) {
  CameraHost host(QuietCamera(),
                  "\"Timeout\"=dword:000001f5\n"
                  "\"Exposure\"=dword:00004e20\n"
                  "\"GlobalGain\"=dword:000000c8\n"
                  "\"FlipH\"=dword:00000001\n"
                  "\"FlipV\"=dword:00000001\n"
                  "\"Brightness\"=dword:ffffffff\n"
                  "\"Hue\"=dword:00000190\n"
                  "\"RedGain\"=dword:000003e8\n"
                  "\"GreenGain\"=hex:05\n"
                  "\"BlueGain\"=hex:01,02,03,04,05,06,07,08,09\n"
                  "\"Clock\"=dword:00000001\n"
                  "\"ExTrigger\"=dword:00000007\n"
                  "\"SubSample\"=dword:00000003\n"
                  "\"RoiX\"=dword:00001200\n"
                  "\"RoiY\"=dword:00000033\n"
                  "\"RoiW\"=dword:00001388\n"
                  "\"RoiH\"=dword:000001e0\n"
                  "\"Dot\"=dword:00000001\n"
                  "\"DotThreshold\"=dword:0000000f\n");
  const CameraSettings& s = host.cam()->settings;
  EXPECT_EQ(s.timeout_ms, 501);
  EXPECT_EQ(ReadAcquire(&FrameTimeout), 501);
  EXPECT_EQ(s.exposure, 16383u);
  EXPECT_EQ(host.emulated().SensorRegister(0x3012), 16383);
  EXPECT_EQ(s.global_gain, 200u);
  EXPECT_EQ(host.emulated().SensorRegister(0x305E), 0x1148);
  EXPECT_EQ(s.flip_h, 0u);
  EXPECT_EQ(s.flip_v, 1u);
  EXPECT_EQ(host.emulated().SensorRegister(0x3040) & 0x8000, 0x8000);
  EXPECT_EQ(s.brightness, 0u);
  EXPECT_EQ(s.hue, 359u);
  EXPECT_EQ(s.red_gain, 512u);
  EXPECT_EQ(s.green_gain, 5u);    // short values are zero-extended
  EXPECT_EQ(s.blue_gain, 128u);   // too long: the default
  EXPECT_EQ(s.clock, 1u);
  EXPECT_EQ(s.ex_trigger, 1u);
  EXPECT_EQ(host.emulated().ControllerRegister(11), 0x25);
  EXPECT_EQ(s.sub_sample, 0);
  EXPECT_EQ(s.roi_x, 0);
  EXPECT_EQ(s.roi_y, 51);
  EXPECT_EQ(s.roi_w, 4608);
  EXPECT_EQ(s.roi_h, 480);
  EXPECT_EQ(s.dot, 1u);
  EXPECT_EQ(s.dot_threshold, 15u);

  // The stored clock reaches the sensor with the first programming.
  host.cam()->ConfigureCaptureMode();
  EXPECT_EQ(host.emulated().SensorRegister(0x0302), 4);

  host.Remove();
  const std::string text = ReadFile(host.settings_file());
  EXPECT_NE(text.find("\"FlipH\"=dword:00000000"), std::string::npos);
  EXPECT_NE(text.find("\"Brightness\"=dword:00000000"), std::string::npos);
}

TEST_F(SettingsStore, TimeoutsOutsideTheirRangeAreIgnored) {
  for (const char* value : {"000001f4", "00002710"}) {  // 500, 10000
    CameraHost host(QuietCamera(), std::string("\"Timeout\"=dword:") + value + "\n");
    EXPECT_EQ(host.cam()->settings.timeout_ms, 3000) << value;
  }
  CameraHost host(QuietCamera(), "\"Timeout\"=dword:0000270f\n");  // 9999
  EXPECT_EQ(host.cam()->settings.timeout_ms, 9999);
}

}  // namespace
}  // namespace kscam::camera_test
