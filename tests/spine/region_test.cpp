// The capture region, the geometry that follows it and the video data range each camera
// advertises.
#include "camera/region.h"
#include "tests/spine/spine_fixture.h"

namespace kscam::testing {
namespace {

struct Region {
  LONG x, y, w, h, s;
};

class RegionTest : public SpineTest {
 protected:
  void SetUp() override {
    SpineTest::SetUp();
    ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
    cam_ = Cam();
  }
  Region Stored() const {
    const CameraSettings& s = cam_->settings;
    return {s.roi_x, s.roi_y, s.roi_w, s.roi_h, s.sub_sample};
  }
  CameraDevice* cam_ = nullptr;
};

void ExpectRange(const KS_DATARANGE_VIDEO& r, LONG w, LONG h) {
  const ULONG pixels = static_cast<ULONG>(w) * static_cast<ULONG>(h);
  for (const SIZE& size : {r.ConfigCaps.InputSize, r.ConfigCaps.MinCroppingSize, r.ConfigCaps.MaxCroppingSize,
                           r.ConfigCaps.MinOutputSize, r.ConfigCaps.MaxOutputSize}) {
    EXPECT_EQ(size.cx, w);
    EXPECT_EQ(size.cy, h);
  }
  EXPECT_EQ(r.VideoInfoHeader.rcSource.right, w);
  EXPECT_EQ(r.VideoInfoHeader.rcSource.bottom, h);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biWidth, w);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biHeight, h);
  EXPECT_EQ(r.DataRange.SampleSize, pixels * 4);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, pixels * 4);
  EXPECT_EQ(static_cast<ULONG>(r.ConfigCaps.MinBitsPerSecond), pixels * 960);
  EXPECT_EQ(static_cast<ULONG>(r.ConfigCaps.MaxBitsPerSecond), pixels * 960);
  EXPECT_EQ(r.VideoInfoHeader.dwBitRate, pixels * 120);
}

TEST_F(RegionTest, TheDataRangeDescribesTheWholeSensorFromAdd) {
  const KS_DATARANGE_VIDEO& r = cam_->video_data_range;
  EXPECT_EQ(r.DataRange.FormatSize, 296u);
  EXPECT_EQ(r.DataRange.Flags, 0u);
  EXPECT_EQ(r.DataRange.SampleSize, 60604416u);
  EXPECT_TRUE(IsEqualGUIDAligned(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO));
  EXPECT_TRUE(IsEqualGUIDAligned(r.DataRange.SubFormat, MEDIASUBTYPE_RGB32));
  EXPECT_TRUE(IsEqualGUIDAligned(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
  EXPECT_EQ(r.bFixedSizeSamples, 1u);
  EXPECT_EQ(r.bTemporalCompression, 1u);
  EXPECT_EQ(r.StreamDescriptionFlags, 0u);
  EXPECT_EQ(r.MemoryAllocationFlags, 0u);
  const KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
  EXPECT_TRUE(IsEqualGUIDAligned(c.guid, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
  EXPECT_EQ(c.VideoStandard, 0u);
  EXPECT_EQ(c.CropGranularityX, 8);
  EXPECT_EQ(c.CropGranularityY, 1);
  EXPECT_EQ(c.CropAlignX, 8);
  EXPECT_EQ(c.CropAlignY, 1);
  EXPECT_EQ(c.OutputGranularityX, 8);
  EXPECT_EQ(c.OutputGranularityY, 1);
  EXPECT_EQ(c.StretchTapsX | c.StretchTapsY | c.ShrinkTapsX | c.ShrinkTapsY, 0);
  EXPECT_EQ(c.MinFrameInterval, 333333);
  EXPECT_EQ(c.MaxFrameInterval, 333333);
  EXPECT_EQ(c.MinBitsPerSecond, 1660157952);
  EXPECT_EQ(c.MaxBitsPerSecond, 1660157952);
  const KS_VIDEOINFOHEADER& v = r.VideoInfoHeader;
  EXPECT_EQ(v.rcSource.left, 0);
  EXPECT_EQ(v.rcSource.top, 0);
  EXPECT_EQ(v.rcTarget.right | v.rcTarget.bottom | v.rcTarget.left | v.rcTarget.top, 0);
  EXPECT_EQ(v.dwBitRate, 1818132480u);
  EXPECT_EQ(v.dwBitErrorRate, 0u);
  EXPECT_EQ(v.AvgTimePerFrame, 333333);
  EXPECT_EQ(v.bmiHeader.biSize, 40u);
  EXPECT_EQ(v.bmiHeader.biPlanes, 1);
  EXPECT_EQ(v.bmiHeader.biBitCount, 32);
  EXPECT_EQ(v.bmiHeader.biCompression, 0u);
  ExpectRange(r, 4608, 3288);

  // The pin advertises this very range; the factory after Start shows it to clients.
  const KSPIN_DESCRIPTOR_EX& pin = cam_->pin_descriptor;
  ASSERT_EQ(pin.PinDescriptor.DataRangesCount, 1u);
  EXPECT_EQ(pin.PinDescriptor.DataRanges[0], &r.DataRange);
  EXPECT_EQ(pin.Flags, 0x00010050u);
  camera().Start();
  client::CameraInfo info = camera().Info();
  ASSERT_EQ(info.factories.size(), 1u);
  ASSERT_EQ(info.factories[0].pins.size(), 1u);
  EXPECT_TRUE(info.factories[0].pins[0].capture);
  ASSERT_EQ(info.factories[0].pins[0].ranges.size(), 1u);
  const client::VideoRangeInfo& seen = info.factories[0].pins[0].ranges[0];
  EXPECT_TRUE(seen.rgb32);
  EXPECT_EQ(seen.width, 4608);
  EXPECT_EQ(seen.height, 3288);
  EXPECT_EQ(seen.sample_size, 60604416u);
}

TEST_F(RegionTest, DocumentedRegionsAreFitted) {
  SetRegion(cam_, 4600, 10, 100, 100, 0);
  EXPECT_EQ(Stored().x, 0);
  EXPECT_EQ(Stored().y, 10);
  EXPECT_EQ(Stored().w, 100);
  EXPECT_EQ(Stored().h, 100);

  SetRegion(cam_, 4000, 3000, 1000, 1000, 0);
  EXPECT_EQ(Stored().w, 608);
  EXPECT_EQ(Stored().h, 288);

  SetRegion(cam_, 5, 5, 10, 10, 0);
  EXPECT_EQ(Stored().w, 32);
  EXPECT_EQ(Stored().h, 32);
  EXPECT_EQ(cam_->image_width, 32);

  SetRegion(cam_, 0, 0, 1000, 500, 0);
  EXPECT_EQ(cam_->output_width, 1000);
  EXPECT_EQ(cam_->image_width, 1000);
  SetRegion(cam_, 0, 0, 1001, 500, 0);
  EXPECT_EQ(cam_->output_width, 1001);
  EXPECT_EQ(cam_->image_width, 1000);
  EXPECT_EQ(cam_->image_height, 500);
  ExpectRange(cam_->video_data_range, 1000, 500);

  SetRegion(cam_, 123, 45, 678, 90, 2);
  EXPECT_EQ(Stored().x, 0);
  EXPECT_EQ(Stored().y, 0);
  EXPECT_EQ(Stored().w, 4608);
  EXPECT_EQ(Stored().h, 3288);
  EXPECT_EQ(Stored().s, 2);
  EXPECT_EQ(cam_->output_width, 1152);
  EXPECT_EQ(cam_->output_height, 822);
  EXPECT_EQ(cam_->image_width, 1152);
  ExpectRange(cam_->video_data_range, 1152, 822);

  SetRegion(cam_, 7, 9, 11, 13, 1);
  EXPECT_EQ(cam_->output_width, 2304);
  EXPECT_EQ(cam_->output_height, 1644);
  EXPECT_EQ(Stored().w, 4608);

  SetRegion(cam_, -5, -1, 64, 64, 0);
  EXPECT_EQ(Stored().x, 0);
  EXPECT_EQ(Stored().y, 0);
  SetRegion(cam_, 4575, 3255, 64, 64, 0);
  EXPECT_EQ(Stored().x, 4575);
  EXPECT_EQ(Stored().w, 33);
  EXPECT_EQ(Stored().h, 33);
}

TEST_F(RegionTest, HugeSizesAreFittedWithoutOverflow) {
  SetRegion(cam_, 100, 200, 0x7FFFFFF0, 0x7FFFFFF0, 0);
  EXPECT_EQ(Stored().x, 100);
  EXPECT_EQ(Stored().y, 200);
  EXPECT_EQ(Stored().w, 4508);
  EXPECT_EQ(Stored().h, 3088);
  EXPECT_EQ(cam_->image_width, 4504);
  ExpectRange(cam_->video_data_range, 4504, 3088);
}

TEST_F(RegionTest, UnknownSubsamplingModesAreIgnored) {
  SetRegion(cam_, 16, 8, 640, 480, 0);
  for (LONG mode : {3, -1, 4, 0x7FFFFFFF}) {
    SetRegion(cam_, 0, 0, 0x7FFFFFF0, 0x7FFFFFF0, mode);
    EXPECT_EQ(Stored().s, 0) << mode;
    EXPECT_EQ(Stored().w, 640) << mode;
    EXPECT_EQ(cam_->output_width, 640) << mode;
    EXPECT_EQ(cam_->output_height, 480) << mode;
    ExpectRange(cam_->video_data_range, 640, 480);
  }
}

TEST_F(RegionTest, ALockedRegionChangesNothingUntilTheLastHoldGoes) {
  SetRegion(cam_, 0, 0, 800, 600, 0);
  SetRegionLock(cam_, 1);
  SetRegionLock(cam_, 1);
  SetRegion(cam_, 0, 0, 320, 240, 0);
  EXPECT_EQ(cam_->output_width, 800);
  ExpectRange(cam_->video_data_range, 800, 600);
  SetRegionLock(cam_, 0);
  SetRegion(cam_, 0, 0, 320, 240, 2);
  EXPECT_EQ(cam_->output_width, 800);
  SetRegionLock(cam_, 0);
  SetRegionLock(cam_, 0);  // more releases than holds: stays at 0
  EXPECT_EQ(cam_->region_locked, 0);
  SetRegion(cam_, 0, 0, 320, 240, 0);
  EXPECT_EQ(cam_->output_width, 320);
  ExpectRange(cam_->video_data_range, 320, 240);
}

TEST_F(RegionTest, FrameLayoutFollowsTheCaptureMode) {
  ULONG size = 1, offset = 1, pitch = 1;
  cam_->ConfigureCaptureMode();
  cam_->GetFrameSize(&size);
  cam_->GetFrameOffset(&offset);
  cam_->GetFramePitch(&pitch);
  EXPECT_EQ(size, 15151104u);
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(pitch, 4608u);

  SetRegion(cam_, 0, 0, 640, 480, 0);
  cam_->ConfigureCaptureMode();
  cam_->GetFrameSize(&size);
  EXPECT_EQ(size, 307200u);
  SetRegion(cam_, 0, 0, 10, 10, 0);  // 32 x 32 = 1024, raised to whole 2048-byte blocks
  cam_->ConfigureCaptureMode();
  cam_->GetFrameSize(&size);
  cam_->GetFramePitch(&pitch);
  EXPECT_EQ(size, 2048u);
  EXPECT_EQ(pitch, 32u);
  SetRegion(cam_, 0, 0, 0, 0, 2);  // 1152 x 822
  cam_->ConfigureCaptureMode();
  cam_->GetFrameSize(&size);
  EXPECT_EQ(size, 948224u);
}

TEST_F(RegionTest, WithoutAUsbTransportNoFrameIsReadAndNothingWaits) {
  UCHAR buffer[16] = {};
  BOOLEAN ok = TRUE;
  EXPECT_FALSE(cam_->ReadFrame(buffer, &ok));
  EXPECT_FALSE(ok);
  cam_->CancelFrameTransfer();  // no read in progress: returns at once
  cam_->AbortPipes();
}

class TwoCameraTest : public SpineTest {
 protected:
  TwoCameraTest() : SpineTest(2) {}
};

TEST_F(TwoCameraTest, EachCameraAdvertisesItsOwnRegion) {
  ASSERT_EQ(camera(0).Add(), STATUS_SUCCESS);
  ASSERT_EQ(camera(1).Add(), STATUS_SUCCESS);
  // Start loads the stored settings, region included: the regions are set afterwards.
  camera(0).Start();
  camera(1).Start();
  CameraDevice* a = Cam(0);
  CameraDevice* b = Cam(1);
  SetRegion(b, 0, 0, 640, 480, 0);
  ExpectRange(a->video_data_range, 4608, 3288);
  ExpectRange(b->video_data_range, 640, 480);
  SetRegion(a, 0, 0, 0, 0, 2);
  ExpectRange(b->video_data_range, 640, 480);

  auto ia = camera(0).Info();
  auto ib = camera(1).Info();
  ASSERT_EQ(ia.factories.size(), 1u);
  ASSERT_EQ(ib.factories.size(), 1u);
  EXPECT_EQ(ia.factories[0].pins[0].ranges[0].width, 1152);
  EXPECT_EQ(ib.factories[0].pins[0].ranges[0].width, 640);
  // Removing one camera leaves the other's descriptors intact.
  EXPECT_EQ(camera(0).Remove(), 0u);
  ExpectRange(b->video_data_range, 640, 480);
  EXPECT_EQ(camera(1).Remove(), 0u);
}

}  // namespace
}  // namespace kscam::testing
