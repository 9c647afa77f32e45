// Camera-control operations from several threads at once: each operation's packets stay
// together, so no read is ever answered with another operation's reply.
#include <atomic>
#include <thread>

#include "camera/controls.h"
#include "camera/region.h"
#include "tests/camera/camera_host.h"
#include "usb/command_packets.h"

namespace kscam::camera_test {
namespace {

TEST(CameraControlThreads, OperationsDoNotInterleave) {
  CameraHost host;
  CameraDevice* cam = host.cam();
  SetRegion(cam, 0, 0, 640, 480, 0);
  SetClock(cam, 1);
  constexpr int kRounds = 150;
  std::atomic<int> bad_clock{0}, bad_read_mode{0};

  std::thread clock_setter([&] {
    for (int i = 0; i < kRounds; ++i) SetClock(cam, 1 + i % 2);
  });
  std::thread clock_reader([&] {
    for (int i = 0; i < kRounds; ++i) {
      const ULONG mode = GetClock(cam);
      if (mode != 1 && mode != 2) ++bad_clock;
    }
  });
  std::thread flipper([&] {
    for (int i = 0; i < kRounds; ++i) {
      SetVerticalFlip(cam, i % 2);
      ULONG read_mode = 0;
      if (!ReadSensorRegister(cam, 0x3040, &read_mode) || (read_mode & 0x7FFF) != 0x0041) ++bad_read_mode;
    }
  });
  std::thread exposer([&] {
    for (int i = 0; i < kRounds; ++i) SetExposure(cam, 100 + i);
  });
  clock_setter.join();
  clock_reader.join();
  flipper.join();
  exposer.join();

  EXPECT_EQ(bad_clock.load(), 0);
  EXPECT_EQ(bad_read_mode.load(), 0);
  EXPECT_EQ(host.emulated().SensorRegister(0x3012), 100 + kRounds - 1);
  EXPECT_EQ(cam->settings.exposure, ULONG(100 + kRounds - 1));
  // A programming racing the setters still leaves the mode it computed.
  std::thread exposer2([&] {
    for (int i = 0; i < 50; ++i) SetGlobalGain(cam, i);
  });
  cam->ConfigureCaptureMode();
  exposer2.join();
  EXPECT_EQ(host.emulated().SensorRegister(0x034C), 640);
  EXPECT_EQ(host.emulated().SensorRegister(0x301A), 0x10DE);
  EXPECT_EQ(cam->frame_bytes, 307200);
}

}  // namespace
}  // namespace kscam::camera_test
