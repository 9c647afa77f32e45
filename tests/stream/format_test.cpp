// Format intersection and set data format on the capture pin, as the class driver calls them
// for an application, and what pin create and close do to the pin and the region.
#include <algorithm>

#include "stream/video_format.h"
#include "tests/stream/stream_fixture.h"

namespace kscam::stream_test {
namespace {

namespace verifier = host::verifier;

// A caller's range with extra bitmap-header bytes after it, as a client may send one.
struct LongRange {
  KS_DATARANGE_VIDEO range;
  uint8_t extra[16];
};

class FormatTest : public StreamTest {
 protected:
  FormatTest() { SetRegion(0, 0, 640, 480); }
  KS_BITMAPINFOHEADER& Bitmap(KS_DATARANGE_VIDEO& r) { return r.VideoInfoHeader.bmiHeader; }
  KS_BITMAPINFOHEADER& Bitmap(KS_DATAFORMAT_VIDEOINFOHEADER& f) { return f.VideoInfoHeader.bmiHeader; }
};

TEST_F(FormatTest, IntersectionGivesTheCallersSizeWithTheRangesHeader) {
  KS_DATARANGE_VIDEO range = Range();
  ASSERT_EQ(Bitmap(range).biWidth, 640);
  KS_DATAFORMAT_VIDEOINFOHEADER format = Format();
  EXPECT_EQ(format.DataFormat.FormatSize, 152u);
  EXPECT_EQ(format.DataFormat.SampleSize, 640u * 480 * 4);
  EXPECT_TRUE(IsEqualGUIDAligned(format.DataFormat.SubFormat, MEDIASUBTYPE_RGB32));
  EXPECT_TRUE(IsEqualGUIDAligned(format.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
  EXPECT_EQ(std::memcmp(&format.VideoInfoHeader, &range.VideoInfoHeader, sizeof(format.VideoInfoHeader)), 0);

  // Width, height and interval are the caller's; the image size follows them, made positive
  // for a top-down (negative) height, rows padded to 32 bits.
  Bitmap(range).biWidth = 650;
  Bitmap(range).biHeight = -480;
  Bitmap(range).biBitCount = 24;
  range.VideoInfoHeader.AvgTimePerFrame = 666666;
  std::vector<uint8_t> bytes;
  ASSERT_EQ(Intersect(&range, sizeof(range), &bytes), STATUS_SUCCESS);
  ASSERT_EQ(bytes.size(), 152u);
  std::memcpy(&format, bytes.data(), sizeof(format));
  EXPECT_EQ(Bitmap(format).biWidth, 650);
  EXPECT_EQ(Bitmap(format).biHeight, -480);
  EXPECT_EQ(format.VideoInfoHeader.AvgTimePerFrame, 666666);
  EXPECT_EQ(format.DataFormat.SampleSize, 1952u * 480);  // (24 x 650 + 31) / 32 x 4 = 1952
  EXPECT_EQ(Bitmap(format).biSizeImage, 1952u * 480);

  // A longer bitmap header is carried over whole.
  LongRange longer{};
  longer.range = Range();
  longer.range.DataRange.FormatSize = sizeof(longer);
  Bitmap(longer.range).biSize = 40 + sizeof(longer.extra);
  std::fill(std::begin(longer.extra), std::end(longer.extra), 0x5A);
  ASSERT_EQ(Intersect(&longer, sizeof(longer), &bytes), STATUS_SUCCESS);
  ASSERT_EQ(bytes.size(), 152u + sizeof(longer.extra));
  EXPECT_EQ(reinterpret_cast<const KSDATAFORMAT*>(bytes.data())->FormatSize, bytes.size());
  EXPECT_TRUE(std::all_of(bytes.begin() + 152, bytes.end(), [](uint8_t b) { return b == 0x5A; }));
}

TEST_F(FormatTest, IntersectionRefusesOtherCapsFlagsAndBadHeaderSizes) {
  struct Case {
    const char* name;
    void (*change)(KS_DATARANGE_VIDEO&);
    NTSTATUS status;
  };
  const Case cases[] = {
      {"other max output size", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MaxOutputSize.cx += 8; }, STATUS_NO_MATCH},
      {"other frame interval caps", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MinFrameInterval = 1; }, STATUS_NO_MATCH},
      {"temporal compression", [](KS_DATARANGE_VIDEO& r) { r.bTemporalCompression = 0; }, STATUS_NO_MATCH},
      {"allocation flags", [](KS_DATARANGE_VIDEO& r) { r.MemoryAllocationFlags = 1; }, STATUS_NO_MATCH},
      {"short range", [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 200; }, STATUS_NO_MATCH},
      {"bitmap header past the range", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 41; },
       STATUS_INVALID_PARAMETER},
      {"bitmap header size overflowing", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFF10; },
       STATUS_INVALID_PARAMETER},
      {"bitmap header size near 4 GiB", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFD8; },
       STATUS_INVALID_PARAMETER},
      // The result's image size is written into the bitmap header: it must be a whole one.
      {"bitmap header too short", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 16; },
       STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KS_DATARANGE_VIDEO range = Range();
    c.change(range);
    std::vector<uint8_t> bytes;
    const ULONG size = std::min<ULONG>(range.DataRange.FormatSize, sizeof(range));
    EXPECT_EQ(Intersect(&range, size, &bytes), c.status);
    EXPECT_TRUE(bytes.empty());
  }
}

TEST_F(FormatTest, IntersectionReportsTheSizeItNeeds) {
  // The class driver asks for the size first; the handler also refuses a short buffer.
  KS_DATARANGE_VIDEO caller = Range();
  KS_DATARANGE_VIDEO& own = cam()->video_data_range;
  ULONG size = 0;
  EXPECT_EQ(VideoIntersectHandler(nullptr, nullptr, nullptr, &caller.DataRange, &own.DataRange, 0, nullptr, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 152u);
  std::vector<uint8_t> buffer(151, 0xEE);
  size = 0;
  EXPECT_EQ(VideoIntersectHandler(nullptr, nullptr, nullptr, &caller.DataRange, &own.DataRange, 151, buffer.data(),
                                  &size),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xEE; }));
  buffer.assign(152, 0xEE);
  EXPECT_EQ(VideoIntersectHandler(nullptr, nullptr, nullptr, &caller.DataRange, &own.DataRange, 152, buffer.data(),
                                  &size),
            STATUS_SUCCESS);
  EXPECT_EQ(size, 152u);
}

TEST_F(FormatTest, PinCreateChecksTheFormatAgainstTheRange) {
  struct Case {
    const char* name;
    void (*change)(KS_DATAFORMAT_VIDEOINFOHEADER&);
    NTSTATUS status;
  };
  const Case cases[] = {
      {"one column narrower", [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biWidth -= 1; },
       STATUS_NO_MATCH},
      {"negative width", [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biWidth = -640; },
       STATUS_NO_MATCH},
      {"one row more", [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biHeight += 1; },
       STATUS_NO_MATCH},
      {"compressed", [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biCompression = 3; },
       STATUS_NO_MATCH},
      {"image size one byte short", [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biSizeImage -= 1; },
       STATUS_INVALID_PARAMETER},
      {"bitmap header past the format", [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biSize = 41; },
       STATUS_INVALID_PARAMETER},
      {"bitmap header size overflowing",
       [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFA0; }, STATUS_INVALID_PARAMETER},
      // 2^30 columns: width x height x 4 wraps to 0 in 32 bits, which any image size would pass.
      {"image size wrapping 32 bits",
       [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biWidth = 0x40000000; }, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KS_DATAFORMAT_VIDEOINFOHEADER format = Format();
    c.change(format);
    PKSPIN pin = nullptr;
    EXPECT_EQ(CreatePin(format, &pin), c.status);
    EXPECT_EQ(pin, nullptr);
    EXPECT_EQ(ReadAcquire(&cam()->region_locked), 0);
  }

  // A bottom-up or top-down picture, and a wider one, are both accepted; a wider format given
  // at create keeps packed rows.
  KS_DATAFORMAT_VIDEOINFOHEADER format = Format();
  Bitmap(format).biHeight = -480;
  PKSPIN pin = nullptr;
  ASSERT_EQ(CreatePin(format, &pin), STATUS_SUCCESS);
  EXPECT_EQ(Context(pin)->video_info.bmiHeader.biHeight, -480);
  ClosePin(pin);
  format = Format();
  Bitmap(format).biWidth = 704;
  Bitmap(format).biSizeImage = 704 * 480 * 4;
  ASSERT_EQ(CreatePin(format, &pin), STATUS_SUCCESS);
  EXPECT_EQ(ReadStride(Context(pin)), 0u);
}

TEST_F(FormatTest, A24BitFormatIsTakenButItsAcquireFails) {
  KS_DATAFORMAT_VIDEOINFOHEADER format = Format();
  Bitmap(format).biBitCount = 24;
  PKSPIN pin = nullptr;
  ASSERT_EQ(CreatePin(format, &pin), STATUS_SUCCESS);
  EXPECT_EQ(ks().SetPinState(pin, KSSTATE_ACQUIRE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadAcquire(&cam()->stream_acquired), 0);
  EXPECT_EQ(cam()->color, nullptr);
  EXPECT_EQ(cam()->active_pin, nullptr);
  EXPECT_EQ(cam()->active_format, nullptr);
  EXPECT_FALSE(Context(pin)->acquired);
  // The claim was given up: a pin with a proper format can have the camera.
  ClosePin(pin);
  pin = OpenPin();
  EXPECT_EQ(ks().SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
}

TEST_F(FormatTest, AFormatChangeWidensTheRowsOnlyWhenTaken) {
  PKSPIN pin = OpenPin();
  CapturePin* context = Context(pin);
  KS_DATAFORMAT_VIDEOINFOHEADER wider = Format();
  Bitmap(wider).biWidth = 640 + 64;
  Bitmap(wider).biSizeImage = 704 * 480 * 4;

  // Not while the pin is past STOP: the pin keeps its rows and its format.
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(ks().SetPinFormat(pin, &wider, sizeof(wider)), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(ReadStride(context), 0u);
  EXPECT_EQ(context->video_info.bmiHeader.biWidth, 640);
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);

  ASSERT_EQ(ks().SetPinFormat(pin, &wider, sizeof(wider)), STATUS_SUCCESS);
  EXPECT_EQ(ReadStride(context), 704u * 4);
  EXPECT_EQ(context->video_info.bmiHeader.biWidth, 704);
  EXPECT_EQ(context->video_info.bmiHeader.biSizeImage, 704u * 480 * 4);

  // A refused change leaves the pin as it was.
  KS_DATAFORMAT_VIDEOINFOHEADER narrower = Format();
  Bitmap(narrower).biWidth = 639;
  EXPECT_EQ(ks().SetPinFormat(pin, &narrower, sizeof(narrower)), STATUS_NO_MATCH);
  KS_DATAFORMAT_VIDEOINFOHEADER short_image = wider;
  Bitmap(short_image).biSizeImage = 100;
  EXPECT_EQ(ks().SetPinFormat(pin, &short_image, sizeof(short_image)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadStride(context), 704u * 4);
  EXPECT_EQ(context->video_info.bmiHeader.biWidth, 704);

  // Closing the pin forgets the pitch.
  ClosePin(pin);
  EXPECT_EQ(ReadAcquire(&cam()->region_locked), 0);
}

TEST_F(FormatTest, APinHoldsTheRegionAndOwnsItsFraming) {
  PKSPIN pin = OpenPin();
  EXPECT_EQ(ReadAcquire(&cam()->region_locked), 1);
  // The pin's descriptor and framing are its own copies, sized for its image.
  ASSERT_NE(pin->Descriptor, &cam()->pin_descriptor);
  const KSALLOCATOR_FRAMING_EX* framing = pin->Descriptor->AllocatorFraming;
  ASSERT_NE(framing, cam()->pin_descriptor.AllocatorFraming);
  const KS_FRAMING_ITEM& item = framing->FramingItem[0];
  EXPECT_EQ(item.Frames, 2u);
  EXPECT_EQ(item.PhysicalRange.MinFrameSize, 640u * 480 * 4);
  EXPECT_EQ(item.PhysicalRange.MaxFrameSize, 640u * 480 * 4);
  EXPECT_EQ(item.PhysicalRange.Stepping, 0u);
  EXPECT_EQ(item.FramingRange.Range.MinFrameSize, 640u * 480 * 4);
  EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, 640u * 480 * 4);
  EXPECT_EQ(item.FramingRange.Range.Stepping, 0u);
  EXPECT_EQ(cam()->pin_descriptor.AllocatorFraming->FramingItem[0].FramingRange.Range.MinFrameSize, 0x2000u);

  // A region change is ignored while the pin exists, taken again after it closed.
  SetRegion(8, 8, 320, 240);
  EXPECT_EQ(cam()->settings.roi_w, 640);
  EXPECT_EQ(cam()->image_width, 640);
  EXPECT_EQ(Bitmap(cam()->video_data_range).biWidth, 640);
  EXPECT_EQ(Range().ConfigCaps.MaxOutputSize.cx, 640);
  ClosePin(pin);
  EXPECT_EQ(ReadAcquire(&cam()->region_locked), 0);
  SetRegion(8, 8, 320, 240);
  EXPECT_EQ(cam()->image_width, 320);
  EXPECT_EQ(Range().ConfigCaps.MaxOutputSize.cx, 320);
}

TEST_F(FormatTest, APinCreateThatRunsOutOfMemoryLeavesTheRegionFree) {
  const KS_DATAFORMAT_VIDEOINFOHEADER format = Format();
  uint64_t failed = 0;
  const uint64_t attempts = verifier::RunWithEachAllocationFailing([&] {
    PKSPIN pin = nullptr;
    const NTSTATUS status = CreatePin(format, &pin);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(ReadAcquire(&cam()->region_locked), 1);
      EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    } else {
      ++failed;
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(ReadAcquire(&cam()->region_locked), 0);
  });
  // The context, the descriptor and the framing copies at least (the class driver's close
  // may allocate too, and copes when it cannot).
  EXPECT_GE(attempts, 3u);
  EXPECT_GE(failed, 3u);
  // Memory back: the region follows requests again.
  SetRegion(0, 0, 320, 240);
  EXPECT_EQ(cam()->image_width, 320);
}

TEST_F(FormatTest, OneStreamAtATimeHasTheCamera) {
  std::unique_ptr<client::Filter> second = host().device().OpenFilter();
  ASSERT_TRUE(second);
  PKSPIN first = OpenPin();
  PKSPIN other = nullptr;
  ASSERT_EQ(CreatePin(Format(), &other, true, second.get()), STATUS_SUCCESS);
  EXPECT_EQ(ReadAcquire(&cam()->region_locked), 2);

  // The claim takes the colour settings as they are.
  ASSERT_EQ(filter().Set(kPropRedGain, 200), STATUS_SUCCESS);
  ASSERT_EQ(ks().SetPinState(first, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_NE(cam()->color, nullptr);
  EXPECT_EQ(ReadColorValue(&cam()->color->RedGain), 200);
  EXPECT_EQ(cam()->active_pin, Context(first));
  EXPECT_EQ(cam()->active_format, &Context(first)->video_info);
  ColorProcessor* color = cam()->color;

  EXPECT_EQ(ks().SetPinState(other, KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(ReadAcquire(&cam()->stream_acquired), 1);
  EXPECT_EQ(cam()->color, color);
  EXPECT_EQ(cam()->active_pin, Context(first));
  EXPECT_EQ(ks().SetPinState(other, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(cam()->color, color);

  ASSERT_EQ(ks().SetPinState(first, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(cam()->color, nullptr);
  EXPECT_EQ(ReadAcquire(&cam()->stream_acquired), 0);
  EXPECT_EQ(ks().SetPinState(other, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(cam()->active_pin, Context(other));

  ClosePin(first);
  EXPECT_EQ(ReadAcquire(&cam()->region_locked), 1);
  ClosePin(other);
  EXPECT_EQ(ReadAcquire(&cam()->region_locked), 0);
}

TEST_F(FormatTest, AcquireWithoutMemoryForTheColourProcessorReleasesTheCamera) {
  PKSPIN pin = OpenPin();
  verifier::FailAllocationsWithTag(kColorPoolTag);
  EXPECT_EQ(ks().SetPinState(pin, KSSTATE_ACQUIRE), STATUS_INSUFFICIENT_RESOURCES);
  verifier::ResetFaultInjection();
  EXPECT_EQ(ReadAcquire(&cam()->stream_acquired), 0);
  EXPECT_EQ(cam()->color, nullptr);
  EXPECT_EQ(ks().SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_NE(cam()->color, nullptr);
}

}  // namespace
}  // namespace kscam::stream_test
