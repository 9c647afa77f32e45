// Two applications changing the camera at once: camera control and colour updates are
// serialised, so the sensor holds what the settings say and the published colour matrix is
// exactly the one the final values give.
#include <cstring>
#include <thread>

#include "tests/property/property_fixture.h"

namespace kscam::property_test {
namespace {

TEST_F(PropertyTest, ConcurrentRequestsLeaveRegistersAndColourConsistent) {
  ColorProcessor* color = MakeColorProcessor();
  ASSERT_NE(color, nullptr);
  std::unique_ptr<client::Filter> second = host().device().OpenFilter();
  ASSERT_NE(second, nullptr);
  constexpr int kRounds = 150;

  std::thread a([&] {
    for (int i = 0; i < kRounds; ++i) {
      filter().Set(kPropContrast, i % 21);
      filter().Set(kPropBrightness, (i * 37) % 511);
      filter().Set(kPropExposure, 100 + i);
      int32_t v;
      filter().Get(kPropExposure, &v);
      filter().Get(kPropRedGain, &v);
      filter().Set(kPropHue, (i * 13) % 360);
    }
  });
  std::thread b([&] {
    for (int i = 0; i < kRounds; ++i) {
      second->Set(kPropSaturation, (i * 7) % 21);
      second->Set(kPropFlipV, i & 1);
      int32_t v;
      second->Get(kPropFlipV, &v);
      second->Set(kPropGlobalGain, i % 128);
      second->Set(kPropContrast, (i * 3) % 21);
      second->Get(kPropGlobalGain, &v);
      second->Set(kPropExposure, 1000 + i);
    }
  });
  a.join();
  b.join();

  const CameraSettings& s = cam()->settings;
  EXPECT_EQ(host().emulated().SensorRegister(0x3012), s.exposure);
  EXPECT_EQ(host().emulated().SensorRegister(0x305E), 0x1100 | (s.global_gain & 0x7F));
  EXPECT_EQ((host().emulated().SensorRegister(0x3040) & 0x8000) != 0, s.flip_v != 0);
  EXPECT_EQ(ReadAcquire(&color->Contrast), static_cast<LONG>(s.contrast));
  EXPECT_EQ(ReadAcquire(&color->Brightness), static_cast<LONG>(s.brightness));
  EXPECT_EQ(ReadAcquire(&color->Saturation), static_cast<LONG>(s.saturation));
  EXPECT_EQ(ReadAcquire(&color->Hue), static_cast<LONG>(s.hue));

  // The published matrix is the one a processor built directly from the final values has.
  ColorProcessor* fresh = CreateColorProcessor();
  ASSERT_NE(fresh, nullptr);
  UpdateColorCorrection(fresh, ReadAcquire(&color->ColorCorrection));
  UpdateBrightness(fresh, static_cast<LONG>(s.brightness));
  UpdateContrast(fresh, static_cast<LONG>(s.contrast));
  UpdateSaturation(fresh, static_cast<LONG>(s.saturation));
  UpdateHue(fresh, static_cast<LONG>(s.hue));
  LONG expected[16], published[16];
  CopyPublishedMatrix(fresh, expected);
  CopyPublishedMatrix(color, published);
  EXPECT_EQ(std::memcmp(expected, published, sizeof(expected)), 0);
  DestroyColorProcessor(fresh);
  second.reset();
}

}  // namespace
}  // namespace kscam::property_test
