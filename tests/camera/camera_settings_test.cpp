// The camera settings' register effects, limits and failure rules, and the Bayer phase.
#include "camera/controls.h"
#include "camera/region.h"
#include "color/color_processor.h"
#include "tests/camera/camera_host.h"
#include "usb/command_packets.h"

namespace kscam::camera_test {
namespace {

class CameraSettingsTest : public ::testing::Test {
 protected:
  CameraDevice* cam() { return host.cam(); }
  uint16_t Reg(uint16_t address) { return host.emulated().SensorRegister(address); }
  CameraHost host;
};

TEST_F(CameraSettingsTest, ExposureAndGainLimits) {
  struct Case {
    ULONG lines;
    uint16_t written;
  };
  for (Case c : {Case{0, 1}, Case{1, 1}, Case{1200, 1200}, Case{16383, 16383}, Case{20000, 16383},
                 Case{ULONG(-5), 16383}}) {
    EXPECT_TRUE(SetExposure(cam(), c.lines));
    EXPECT_EQ(Reg(0x3012), c.written) << c.lines;
    EXPECT_EQ(cam()->settings.exposure, c.written);
  }
  EXPECT_TRUE(SetGlobalGain(cam(), 200));
  EXPECT_EQ(Reg(0x305E), 0x1148);
  EXPECT_EQ(cam()->settings.global_gain, 200u);  // the whole value is kept
  EXPECT_TRUE(SetGlobalGain(cam(), 127));
  EXPECT_EQ(Reg(0x305E), 0x117F);
}

TEST_F(CameraSettingsTest, TriggerSetUpIsTheSameBothWays) {
  EXPECT_TRUE(SetExternalTrigger(cam(), 1));
  EXPECT_EQ(host.emulated().ControllerRegister(11), 0x25);
  EXPECT_EQ(cam()->settings.ex_trigger, 1u);
  EXPECT_EQ(Reg(0x3046), 0x0000);
  EXPECT_EQ(Reg(0x3048), 0x0020);
  EXPECT_EQ(Reg(0x3162), 0x009F);
  EXPECT_TRUE(SetExternalTrigger(cam(), 0));
  EXPECT_EQ(host.emulated().ControllerRegister(11), 0x00);
  EXPECT_EQ(cam()->settings.ex_trigger, 0u);
  EXPECT_EQ(Reg(0x3048), 0x0020);
}

TEST_F(CameraSettingsTest, ClockModesAndDividers) {
  struct Case {
    ULONG mode;
    uint16_t divider;
  };
  for (Case c : {Case{0, 2}, Case{1, 4}, Case{2, 1}, Case{7, 2}}) {
    SetClock(cam(), c.mode);
    EXPECT_EQ(Reg(0x0302), c.divider) << c.mode;
    EXPECT_EQ(Reg(0x030A), c.divider) << c.mode;
    EXPECT_EQ(cam()->settings.clock, c.mode);
  }
  struct Back {
    uint16_t divider;
    ULONG mode;
  };
  for (Back b : {Back{1, 2}, Back{4, 1}, Back{2, 0}, Back{3, 0}, Back{0, 0}}) {
    ASSERT_TRUE(WriteSensorRegister(cam(), 0x0302, b.divider));
    EXPECT_EQ(GetClock(cam()), b.mode) << b.divider;
    EXPECT_EQ(cam()->settings.clock, b.mode);
  }
}

TEST_F(CameraSettingsTest, BayerPhaseFollowsTheFirstLineRead) {
  struct Case {
    int y, h;
    ULONG flip, phase;
  };
  for (Case c : {Case{51, 480, 0, 0}, Case{51, 480, 1, 1}, Case{50, 481, 1, 0}, Case{50, 480, 1, 1},
                 Case{51, 481, 1, 0}, Case{50, 481, 0, 0}}) {
    SetRegion(cam(), 100, c.y, 640, c.h, 0);
    SetVerticalFlip(cam(), c.flip);
    EXPECT_EQ(cam()->settings.bayer_phase, c.phase) << c.y << " " << c.h << " " << c.flip;
    EXPECT_EQ(UpdateBayerPhase(cam()), c.phase);
    EXPECT_EQ(Reg(0x3040) >> 15, c.flip);
    // The orientation alias shows the flip too.
    EXPECT_EQ((Reg(0x0100) >> 1) & 1, c.flip);
  }
}

TEST_F(CameraSettingsTest, FlipAndWhiteBalanceReachTheStreamsColourState) {
  ColorProcessor* color = CreateColorProcessor();
  ASSERT_NE(color, nullptr);
  cam()->color = color;
  SetRegion(cam(), 0, 0, 640, 480, 0);
  SetVerticalFlip(cam(), 1);
  EXPECT_EQ(ReadAcquire(&color->BayerPhase), 1);
  SetVerticalFlip(cam(), 0);
  EXPECT_EQ(ReadAcquire(&color->BayerPhase), 0);

  SetWhiteBalanceMode(cam(), 1);
  EXPECT_EQ(ReadAcquire(&color->WhiteBalance), 1);
  EXPECT_EQ(cam()->settings.white_balance, 1u);
  // What the measurement found while it was on stays in force when it goes off.
  InterlockedExchange(&color->RedGain, 300);
  InterlockedExchange(&color->GreenGain, 120);
  InterlockedExchange(&color->BlueGain, 77);
  SetWhiteBalanceMode(cam(), 0);
  EXPECT_EQ(ReadAcquire(&color->WhiteBalance), 0);
  EXPECT_EQ(cam()->settings.red_gain, 300u);
  EXPECT_EQ(cam()->settings.green_gain, 120u);
  EXPECT_EQ(cam()->settings.blue_gain, 77u);

  cam()->color = nullptr;
  DestroyColorProcessor(color);
  // Without a stream only the setting changes.
  SetWhiteBalanceMode(cam(), 1);
  EXPECT_EQ(cam()->settings.white_balance, 1u);
  EXPECT_EQ(cam()->settings.red_gain, 300u);
}

TEST_F(CameraSettingsTest, FailedWritesFollowTheSettingsRules) {
  ASSERT_TRUE(SetExposure(cam(), 700));
  ASSERT_TRUE(SetGlobalGain(cam(), 20));
  SetRegion(cam(), 0, 0, 640, 480, 0);
  const ULONG phase = cam()->settings.bayer_phase;
  host.emulated().Disconnect();

  EXPECT_FALSE(SetExposure(cam(), 900));
  EXPECT_EQ(cam()->settings.exposure, 700u);
  EXPECT_FALSE(SetGlobalGain(cam(), 50));
  EXPECT_EQ(cam()->settings.global_gain, 20u);
  SetVerticalFlip(cam(), 1);
  EXPECT_EQ(cam()->settings.flip_v, 1u);
  EXPECT_EQ(cam()->settings.bayer_phase, phase);
  EXPECT_TRUE(SetExternalTrigger(cam(), 1));
  EXPECT_EQ(cam()->settings.ex_trigger, 1u);
  SetClock(cam(), 1);
  EXPECT_EQ(cam()->settings.clock, 1u);
  EXPECT_EQ(GetClock(cam()), 1u);  // unreadable: the stored mode
}

}  // namespace
}  // namespace kscam::camera_test
