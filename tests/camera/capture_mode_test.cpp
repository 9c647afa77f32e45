// Capture-mode programming: window, read mode, output size, timing and the frame size, as the
// emulated camera received and holds them.
#include "camera/controls.h"
#include "camera/region.h"
#include "tests/camera/camera_host.h"
#include "tests/camera/command_record.h"
#include "tests/usb/camera_fixture.h"

namespace kscam::camera_test {
namespace {

using emulator::Readout;

struct Mode {
  int x, y, w, h, sub;
  uint16_t x_start, x_end, y_start, y_end, out_w, out_h, line_length, frame_length, read_mode;
  LONG output_width, output_height, frame_bytes;
};

class CaptureMode : public ::testing::Test {
 protected:
  void Program(const Mode& m) {
    SetRegion(host.cam(), m.x, m.y, m.w, m.h, m.sub);
    host.cam()->ConfigureCaptureMode();
  }
  void ExpectProgrammed(const Mode& m) {
    auto& e = host.emulated();
    CameraDevice* cam = host.cam();
    EXPECT_EQ(e.SensorRegister(0x0344), m.x_start);
    EXPECT_EQ(e.SensorRegister(0x0348), m.x_end);
    EXPECT_EQ(e.SensorRegister(0x0346), m.y_start);
    EXPECT_EQ(e.SensorRegister(0x034A), m.y_end);
    EXPECT_EQ(e.SensorRegister(0x034C), m.out_w);
    EXPECT_EQ(e.SensorRegister(0x034E), m.out_h);
    EXPECT_EQ(e.SensorRegister(0x0342), m.line_length);
    EXPECT_EQ(e.SensorRegister(0x0340), m.frame_length);
    EXPECT_EQ(e.SensorRegister(0x3040), m.read_mode);
    EXPECT_EQ(e.SensorRegister(0x301A), 0x10DE);
    EXPECT_TRUE(e.Streaming());
    EXPECT_EQ(cam->output_width, m.output_width);
    EXPECT_EQ(cam->output_height, m.output_height);
    EXPECT_EQ(cam->frame_bytes, m.frame_bytes);
    EXPECT_EQ(cam->line_stride, m.output_width);
    EXPECT_EQ(cam->image_offset, 0);
    EXPECT_EQ(e.FrameBytes(), uint32_t(m.frame_bytes));
    for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(e.ControllerRegister(i), uint8_t(m.frame_bytes >> (8 * i)));
  }

  CameraHost host;
};

TEST_F(CaptureMode, FullSensorInTheOrderTheCameraExpects) {
  const size_t mark = host.emulated().Commands().size();
  host.cam()->ConfigureCaptureMode();
  const Mode full{0, 0, 4608, 3288, 0, 24, 4631, 4, 3291, 4608, 3288, 4920, 3536, 0x0041, 4608, 3288, 15151104};
  ExpectProgrammed(full);
  EXPECT_EQ(host.cam()->frame_bytes, 0xE73000);
  EXPECT_EQ(host.emulated().ControllerRegister(0), 0x00);
  EXPECT_EQ(host.emulated().ControllerRegister(1), 0x30);
  EXPECT_EQ(host.emulated().ControllerRegister(2), 0xE7);
  EXPECT_EQ(host.emulated().ControllerRegister(3), 0x00);

  // After the program: clock, mode, window and timing, the frame size, then the settings that
  // live in sensor registers again.
  const auto ops = Ops(host.emulated(), mark);
  ASSERT_EQ(ops.size(), 273u + 35u);
  EXPECT_EQ(ops[0], W(0x301A, 0x0001));
  const std::vector<Op> tail(ops.begin() + 273, ops.end());
  const std::vector<Op> expected = {
      W(0x0302, 2),      W(0x030A, 2),      R(0x3040),         W(0x0104, 1),      W(0x3040, 0x0041),
      W(0x0344, 24),     W(0x0348, 4631),   W(0x0346, 4),      W(0x034A, 3291),   W(0x0400, 0),
      W(0x0404, 16),     W(0x034C, 4608),   W(0x034E, 3288),   W(0x0342, 4920),   W(0x0340, 3536),
      W(0x3010, 0x0094), W(0x3014, 0x03FC), R(0x30D4),         R(0x3044),         R(0x301A),
      W(0x301A, 0x10DE), C(0, 0x00),        C(1, 0x30),        C(2, 0xE7),        C(3, 0x00),
      {Op::Commit, 0, 1}, C(14, 0),         W(0x3046, 0),      W(0x3048, 0x0020), W(0x3162, 0x009F),
      C(11, 0),          W(0x3012, 1),      W(0x305E, 0x1100), R(0x3040),         W(0x3040, 0x0041)};
  EXPECT_EQ(tail, expected);
}

TEST_F(CaptureMode, RegionsAndSubsampling) {
  // The minimum line length; the window on the next multiple of 4 past the active area's origin.
  const Mode region{100, 51, 640, 480, 0, 124, 763, 56, 535, 640, 480, 2518, 728, 0x0041, 640, 480, 307200};
  Program(region);
  ExpectProgrammed(region);
  EXPECT_EQ(host.cam()->settings.bayer_phase, 0u);

  // Every second 2 x 2 cell of the whole sensor.
  const Mode half{0, 0, 4608, 3288, 1, 24, 4631, 4, 3291, 2304, 1644, 2616, 1892, 0x00C3, 2304, 1644, 3788800};
  Program(half);
  ExpectProgrammed(half);

  // Every fourth: the sensor's output height is raised to a multiple of 4, the frame is not.
  const Mode quarter{123, 45, 678, 90, 2, 24, 4631, 4, 3291, 1152, 824, 2518, 1072, 0x01C7, 1152, 822, 948224};
  Program(quarter);
  ExpectProgrammed(quarter);
  const Readout r = host.emulated().CurrentReadout();
  EXPECT_EQ(r.x_odd_inc, 7u);
  EXPECT_EQ(r.y_odd_inc, 7u);

  // A small region still moves whole transfer granules.
  const Mode small{0, 0, 33, 33, 0, 24, 56, 4, 36, 33, 33, 2518, 281, 0x0041, 33, 33, 2048};
  Program(small);
  ExpectProgrammed(small);
}

TEST_F(CaptureMode, FlipAndClockComeBackWithEveryProgramming) {
  CameraDevice* cam = host.cam();
  SetRegion(cam, 0, 0, 640, 480, 0);
  SetVerticalFlip(cam, 1);
  SetExposure(cam, 900);
  SetGlobalGain(cam, 40);
  cam->settings.clock = 1;
  cam->ConfigureCaptureMode();
  EXPECT_EQ(host.emulated().SensorRegister(0x3040), 0x8041);
  EXPECT_TRUE(host.emulated().CurrentReadout().flip);
  EXPECT_EQ(host.emulated().SensorRegister(0x3012), 900);
  EXPECT_EQ(host.emulated().SensorRegister(0x305E), 0x1100 | 40);
  EXPECT_EQ(host.emulated().SensorRegister(0x0302), 4);
  EXPECT_EQ(host.emulated().SensorRegister(0x030A), 4);
  EXPECT_EQ(cam->settings.bayer_phase, 1u);
}

// The read mode's flip and mirror bits survive the pattern change. A scripted camera keeps
// whatever register values it is given, so the read-back can be set up directly.
TEST(CaptureModeReadMode, KeepsTheHighBitsAndReplacesThePattern) {
  test::TestCamera t;
  CameraDevice* cam = t.camera();
  SetDefaultSettings(&cam->settings);
  SetRegion(cam, 0, 0, 4608, 3288, 1);
  ASSERT_EQ(t.Configure(), STATUS_SUCCESS);
  t.script().sensor[0x3040] = 0xC041;
  cam->ConfigureCaptureMode();
  std::vector<uint16_t> read_mode_writes;
  for (const auto& r : t.Transfers(test::kCommandEndpoint)) {
    if (r.data.size() >= 5 && r.data[0] == 0x04 && r.data[1] == 0x30 && r.data[2] == 0x40) {
      read_mode_writes.push_back(uint16_t(r.data[3] << 8 | r.data[4]));
    }
  }
  ASSERT_EQ(read_mode_writes.size(), 2u);
  EXPECT_EQ(read_mode_writes[0], 0xC0C3);
  EXPECT_EQ(read_mode_writes[1], 0x40C3);  // flip off re-applied
}

// Without a configured interface every packet fails; the programming still runs to its end
// and the frame layout is still computed.
TEST(CaptureModeReadMode, UnconfiguredCameraStillGetsItsFrameLayout) {
  test::TestCamera t;
  CameraDevice* cam = t.camera();
  SetDefaultSettings(&cam->settings);
  SetRegion(cam, 100, 51, 640, 480, 0);
  cam->ConfigureCaptureMode();
  EXPECT_EQ(cam->frame_bytes, 307200);
  EXPECT_EQ(cam->line_stride, 640);
  EXPECT_EQ(cam->settings.exposure, 0u);  // the write failed: unchanged
  EXPECT_EQ(t.Transfers(test::kCommandEndpoint).size(), 0u);
}

}  // namespace
}  // namespace kscam::camera_test
