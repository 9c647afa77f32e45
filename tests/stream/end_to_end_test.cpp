// Whole streams from the emulated camera to an application's client::Stream: every delivered
// picture is checked against the raw frame the camera sent for it (found through the
// frame-counter strip), with two cameras at once, and with property changes racing the stream.
#include <atomic>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

#include "client/stream.h"
#include "emulator/frame_counter.h"

#include "tests/stream/stream_fixture.h"

namespace kscam::stream_test {
namespace {

// Raw frames the camera keeps: one frame is in flight at a time.
constexpr size_t kKeptFrames = 3;

// The picture of raw lines [first, first + lines) (all by default; `first` even, so the Bayer
// phase stays) by the scalar conversion with the settings a fresh processor has, changed by
// `configure`.
template <typename Configure>
std::vector<uint8_t> ExpectedPictureWith(const CameraDevice* cam, const std::vector<uint8_t>& raw, Configure configure,
                                         LONG first = 0, LONG lines = -1) {
  const ULONG width = static_cast<ULONG>(cam->output_width);
  const ULONG height = static_cast<ULONG>(lines < 0 ? cam->output_height : lines);
  ColorProcessor* p = CreateColorProcessor();
  SetConversionPath(p, kConversionScalar);
  SetBayerPhase(p, static_cast<LONG>(cam->settings.bayer_phase));
  configure(p);
  SetFrameSize(p, width, height);
  EXPECT_EQ(AllocateWorkBuffer(p), STATUS_SUCCESS);
  std::vector<uint8_t> picture(size_t(width) * height * 4);
  p->OutputBuffer = picture.data();
  ConvertFrame(p, raw.data(), static_cast<ULONG>(cam->image_offset + first * cam->line_stride),
               static_cast<ULONG>(cam->line_stride));
  DestroyColorProcessor(p);
  return picture;
}

// Rows [first, last) of a delivered frame that differ from a top-down picture of
// output_width pixels a row.
size_t WrongRows(const client::Frame& frame, const std::vector<uint8_t>& picture, LONG output_width, LONG first,
                 LONG last) {
  const size_t row_bytes = size_t(frame.width) * 4;
  const size_t source_pitch = size_t(output_width) * 4;
  size_t wrong = 0;
  for (LONG y = first; y < last; ++y) wrong += std::memcmp(frame.Row(y), picture.data() + size_t(y) * source_pitch, row_bytes) != 0;
  return wrong;
}

// A client stream on one camera whose frames are matched with the raw frames the camera sent:
// the frame-counter strip in the delivered picture names the camera's frame.
class MatchedStream {
 public:
  MatchedStream(client::Filter& filter, emulator::EmulatedCamera& camera, CameraDevice* cam)
      : filter_(filter), camera_(camera), cam_(cam) {}

  // Opens and runs the stream. The camera sends a frame only when the test fires its trigger,
  // once the driver asked for it: a client slower than the camera would otherwise see frames
  // whose raw data the camera no longer keeps.
  void Open(bool triggered = true) {
    triggered_ = triggered;
    ASSERT_EQ(filter_.Set(kPropExTrigger, triggered ? 1 : 0), STATUS_SUCCESS);
    // A mid grey of the scene reads mid-scale: pictures with something in them to compare.
    ASSERT_EQ(filter_.Set(kPropExposure, 1200), STATUS_SUCCESS);
    ASSERT_EQ(filter_.Set(kPropGlobalGain, 32), STATUS_SUCCESS);
    camera_.KeepFrameData(kKeptFrames);
    client::StreamOptions options;
    options.buffers = 2;
    NTSTATUS status = STATUS_PENDING;
    stream_ = client::Stream::Open(filter_, options, &status);
    ASSERT_TRUE(stream_) << client::StatusText(status);
    camera_.ClearRecord();
    ASSERT_EQ(stream_->Run(), STATUS_SUCCESS);
  }
  void Close() {
    if (stream_) EXPECT_EQ(stream_->Stop(), STATUS_SUCCESS);
    stream_.reset();
    camera_.KeepFrameData(0);
  }

  // Takes the next frame: the region's size, every row written, its picture number above the
  // last frame's. Fails the test otherwise.
  void Next() {
    if (triggered_) {
      // The driver's next frame request, then the trigger that sends its frame.
      ++triggers_;
      ASSERT_TRUE(Eventually([&] { return CountCommands(camera_, 0x03) >= triggers_; }));
      camera_.Trigger();
    }
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(stream_->Next(&frame_, 20000, &status)) << client::StatusText(status);
    ASSERT_EQ(frame_.width, cam_->image_width);
    ASSERT_EQ(frame_.height, cam_->image_height);
    EXPECT_EQ(frame_.data_used, (ULONG(frame_.height) - 1) * frame_.pitch + ULONG(frame_.width) * 4);
    EXPECT_GT(frame_.picture_number, last_picture_);
    last_picture_ = frame_.picture_number;
    ++taken_;
    // One frame read per trigger, each delivered: numbers count the frames without a gap.
    if (triggered_) EXPECT_EQ(frame_.picture_number, taken_);
  }

  // Takes the next frame, and the raw frame the camera sent for it, complete; the camera frame
  // number comes after the last frame's. Fails the test otherwise.
  void Take(std::vector<uint8_t>* raw) {
    raw->clear();
    Next();
    if (::testing::Test::HasFatalFailure()) return;
    const std::optional<uint32_t> number =
        emulator::DecodeCounterBgra(frame_.Row(0), -ptrdiff_t(frame_.pitch), uint32_t(frame_.width),
                                    uint32_t(frame_.height), uint32_t(cam_->output_width));
    ASSERT_TRUE(number) << "no frame counter in picture " << frame_.picture_number;
    // Reading order: a later picture comes from a later camera frame.
    if (last_counter_) EXPECT_GT(*number, *last_counter_) << "picture " << frame_.picture_number;
    last_counter_ = *number;
    for (emulator::SentFrame& sent : camera_.Frames()) {
      if ((sent.number & 0xFFFFFF) != *number || sent.data.empty()) continue;
      ASSERT_TRUE(sent.complete) << "camera frame " << *number;
      ASSERT_EQ(sent.width, uint32_t(cam_->output_width));
      ASSERT_EQ(sent.height, uint32_t(cam_->output_height));
      *raw = std::move(sent.data);
    }
    if (raw->empty()) {
      std::string sent;
      for (const emulator::SentFrame& f : camera_.Frames()) sent += " " + std::to_string(f.number) + (f.data.empty() ? "" : "+");
      ADD_FAILURE() << "camera frame " << *number << " is no longer kept; sent:" << sent;
    }
  }

  // Takes the next frame and checks its picture is the conversion of its raw frame with the
  // processor's creation settings.
  void TakeAndCheck() {
    std::vector<uint8_t> raw;
    Take(&raw);
    if (::testing::Test::HasFatalFailure() || raw.empty()) return;
    const std::vector<uint8_t> picture = Reference(raw);
    if (taken_ == 1) {
      // The comparison means something only for a picture that is not all black.
      size_t lit = 0;
      for (size_t i = 1; i < picture.size(); i += 4) lit += picture[i] > 40;
      EXPECT_GT(lit, picture.size() / 4 / 4) << "a nearly black picture";
    }
    EXPECT_EQ(WrongRows(frame_, picture, cam_->output_width, 0, frame_.height), 0u)
        << "picture " << frame_.picture_number << ", camera frame " << *last_counter_;
  }

  const client::Frame& frame() const { return frame_; }
  client::Stream& stream() { return *stream_; }

  int taken() const { return taken_; }

 private:
  // The scalar conversion of `raw`, made cheaper for a quiet camera: it sends the same picture
  // every frame but for the counter strip, and a converted line depends only on the raw lines
  // up to two above and below it. So a raw frame equal to the first one outside the strip's
  // lines gets the first frame's picture with the lines around the strip converted again from
  // a band of raw lines with a margin. The shortcut is checked once against the whole
  // conversion.
  std::vector<uint8_t> Reference(const std::vector<uint8_t>& raw) {
    if (base_raw_.empty()) {
      base_raw_ = raw;
      base_picture_ = ExpectedPicture(cam_, raw);
      return base_picture_;
    }
    const LONG w = cam_->output_width, h = cam_->output_height;
    const emulator::CounterStrip strip = emulator::CounterStripFor(uint32_t(w), uint32_t(h));
    const LONG strip_top = LONG(strip.y0), strip_end = LONG(strip.y0 + strip.block);
    bool same = strip.valid() && raw.size() == base_raw_.size();
    for (LONG y = 0; y < h && same; ++y) {
      if (y >= strip_top && y < strip_end) continue;
      const size_t at = size_t(cam_->image_offset) + size_t(y) * size_t(cam_->line_stride);
      same = std::memcmp(raw.data() + at, base_raw_.data() + at, size_t(w)) == 0;
    }
    if (!same) return ExpectedPicture(cam_, raw);

    constexpr LONG kMargin = 8;
    const LONG first = std::max<LONG>(0, strip_top - kMargin) & ~1;
    const LONG last = std::min<LONG>(h, strip_end + kMargin);
    const std::vector<uint8_t> band = ExpectedPictureWith(cam_, raw, [](ColorProcessor*) {}, first, last - first);
    // Lines near a band edge that is not the frame's edge lack their neighbours; they equal
    // the first frame's lines anyway.
    const LONG from = first > 0 ? first + kMargin / 2 : 0;
    const LONG to = last < h ? last - kMargin / 2 : h;
    std::vector<uint8_t> picture = base_picture_;
    const size_t row = size_t(w) * 4;
    std::memcpy(picture.data() + size_t(from) * row, band.data() + size_t(from - first) * row, size_t(to - from) * row);
    if (!shortcut_checked_) {
      shortcut_checked_ = true;
      EXPECT_TRUE(picture == ExpectedPicture(cam_, raw)) << "the picture of the strip's lines alone differs";
    }
    return picture;
  }


  client::Filter& filter_;
  emulator::EmulatedCamera& camera_;
  CameraDevice* cam_;
  std::unique_ptr<client::Stream> stream_;
  client::Frame frame_;
  LONGLONG last_picture_ = 0;
  std::optional<uint32_t> last_counter_;
  int taken_ = 0;
  bool triggered_ = true;
  size_t triggers_ = 0;
  std::vector<uint8_t> base_raw_;
  std::vector<uint8_t> base_picture_;
  bool shortcut_checked_ = false;
};

class EndToEndTest : public StreamTest {
 protected:
  // A held frame request waits as long as the test needs to check the frame before.
  EndToEndTest() { SetFrameTimeout(600000); }

  // Streams `count` frames of the region through an application's stream, checking each.
  void StreamRegion(LONG x, LONG y, LONG w, LONG h, int count) {
    SetRegion(x, y, w, h);
    ASSERT_EQ(cam()->output_width, w);
    ASSERT_EQ(cam()->output_height, h);
    MatchedStream stream(filter(), emulated(), cam());
    stream.Open();
    for (int i = 0; i < count && !HasFailure(); ++i) stream.TakeAndCheck();
    EXPECT_EQ(stream.taken(), count);
    stream.Close();
  }
};

TEST_F(EndToEndTest, FullSensorFramesAreTheConversionsOfTheFramesSentInOrder) {
  StreamRegion(0, 0, 4608, 3288, 30);
}

TEST_F(EndToEndTest, RegionFramesAreTheConversionsOfTheFramesSentInOrder) {
  StreamRegion(1200, 800, 1000, 500, 30);
}

// The capture pin's data range of a camera, as a client reads it.
client::VideoRangeInfo RangeOf(client::Camera& camera) {
  const client::CameraInfo info = camera.Info();
  client::VideoRangeInfo range;
  EXPECT_EQ(info.factories.size(), 1u);
  if (info.factories.size() != 1 || info.factories[0].pins.empty() || info.factories[0].pins[0].ranges.size() != 1)
    return range;
  return info.factories[0].pins[0].ranges[0];
}

TEST(TwoCamerasTest, StreamAtOnceEachWithItsOwnRegionAndDataRange) {
  // A held frame request waits as long as the test needs to check the other camera's frame.
  const LONG saved_timeout = InterlockedExchange(&FrameTimeout, 600000);
  camera_test::TempFolder folder;
  client::Host host(client::HostOptions{2, (folder.path() / "settings.reg").string(), true});
  ASSERT_EQ(host.LoadDriver(), STATUS_SUCCESS);
  CameraDevice* cams[2] = {};
  std::unique_ptr<client::Filter> filters[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(host.camera(i).Add(), STATUS_SUCCESS);
    ASSERT_EQ(host.camera(i).Start(), STATUS_SUCCESS);
    cams[i] = CameraFromDevice(host.camera(i).device().ks_device());
    NTSTATUS status = STATUS_PENDING;
    filters[i] = host.camera(i).OpenFilter(&status);
    ASSERT_TRUE(filters[i]) << client::StatusText(status);
  }

  // One camera's region leaves the other's range alone.
  ASSERT_EQ(filters[0]->SetRegion(0, 0, 640, 480, 0), STATUS_SUCCESS);
  ASSERT_EQ(filters[1]->SetRegion(400, 200, 1000, 500, 0), STATUS_SUCCESS);
  ASSERT_EQ(filters[0]->SetRegion(8, 16, 800, 600, 0), STATUS_SUCCESS);
  const LONG sizes[2][2] = {{800, 600}, {1000, 500}};
  for (int i = 0; i < 2; ++i) {
    const client::VideoRangeInfo range = RangeOf(host.camera(i));
    EXPECT_EQ(range.width, sizes[i][0]) << "camera " << i;
    EXPECT_EQ(range.height, sizes[i][1]) << "camera " << i;
    EXPECT_EQ(range.sample_size, ULONG(sizes[i][0] * sizes[i][1] * 4)) << "camera " << i;
  }

  {
    std::unique_ptr<MatchedStream> streams[2];
    for (int i = 0; i < 2; ++i) {
      streams[i] = std::make_unique<MatchedStream>(*filters[i], *host.camera(i).emulated(), cams[i]);
      streams[i]->Open();
      ASSERT_FALSE(::testing::Test::HasFatalFailure());
      EXPECT_EQ(streams[i]->stream().format().bmiHeader.biWidth, sizes[i][0]);
      EXPECT_EQ(streams[i]->stream().format().bmiHeader.biHeight, sizes[i][1]);
    }
    // Both running: frames alternate between the two, each checked against its own camera.
    for (int n = 0; n < 10 && !::testing::Test::HasFailure(); ++n) {
      for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("camera " + std::to_string(i));
        streams[i]->TakeAndCheck();
      }
    }
    for (int i = 0; i < 2; ++i) {
      const client::VideoRangeInfo range = RangeOf(host.camera(i));
      EXPECT_EQ(range.width, sizes[i][0]) << "camera " << i;
      EXPECT_EQ(range.height, sizes[i][1]) << "camera " << i;
      streams[i]->Close();
    }
  }
  for (int i = 0; i < 2; ++i) {
    filters[i].reset();
    EXPECT_EQ(host.camera(i).Remove(), 0u) << "camera " << i;
  }
  InterlockedExchange(&FrameTimeout, saved_timeout);
}

// A property thread races a stream through the property set.
class PropertyRaceTest : public StreamTest {
 protected:
  PropertyRaceTest() {
    SetRegion(160, 120, 640, 480);
    SetFrameTimeout(600000);
  }

  struct Region {
    LONG roi_x, roi_y, roi_w, roi_h, sub_sample, image_width, image_height, output_width, output_height;
    LONG range_width, range_height;
    ULONG range_size;
    bool operator==(const Region&) const = default;
  };
  Region CurrentRegion() {
    const CameraSettings& s = cam()->settings;
    const KS_DATARANGE_VIDEO range = Range();
    return {s.roi_x, s.roi_y, s.roi_w, s.roi_h, s.sub_sample, cam()->image_width, cam()->image_height,
            cam()->output_width, cam()->output_height, range.VideoInfoHeader.bmiHeader.biWidth,
            range.VideoInfoHeader.bmiHeader.biHeight, range.VideoInfoHeader.bmiHeader.biSizeImage};
  }

  // Runs `change(i)` over and over on a second thread until the returned function is called.
  template <typename Change>
  std::function<void()> Race(Change change) {
    stop_ = false;
    changer_ = std::thread([this, change] {
      for (int i = 0; !stop_.load(); ++i) change(i);
    });
    return [this] {
      stop_ = true;
      changer_.join();
    };
  }

  ~PropertyRaceTest() override {
    stop_ = true;
    if (changer_.joinable()) changer_.join();
  }

  std::atomic<bool> stop_{false};
  std::thread changer_;
};

TEST_F(PropertyRaceTest, ColourGainAndRegionChangesDuringAStreamLeaveTheRegionAndTheStreamWhole) {
  const Region before = CurrentRegion();
  MatchedStream stream(filter(), emulated(), cam());
  // The camera as fast as it goes: frames the client has no buffer for are dropped.
  stream.Open(false);
  ASSERT_FALSE(HasFatalFailure());

  // Every value is set through the property set, as an application's property page does.
  struct Item {
    ULONG id;
    int32_t values[3];
  };
  static constexpr Item kItems[] = {
      {kPropColorCorrection, {0, 1, 0}},
      {kPropSaturation, {0, 20, 10}},
      {kPropHue, {90, 359, 0}},
      {kPropBrightness, {0, 510, 255}},
      {kPropContrast, {0, 20, 10}},
      {kPropRedGain, {0, 512, 128}},
      {kPropGreenGain, {64, 256, 128}},
      {kPropBlueGain, {512, 0, 128}},
      {kPropColorEnable, {0, 1, 1}},
      {kPropWhiteBalance, {1, 0, 1}},
      {kPropGlobalGain, {1, 127, 16}},
      {kPropExposure, {1, 3000, 400}},
  };
  std::atomic<int> region_failures{0};
  auto finish = Race([&](int i) {
    const Item& item = kItems[i % std::size(kItems)];
    filter().Set(item.id, item.values[(i / std::size(kItems)) % 3]);
    if (i % std::size(kItems) == 0) {
      // The region request is taken and changes nothing while the pin holds the region.
      const int k = i / int(std::size(kItems));
      region_failures += filter().SetRegion(8 * (k % 5), 8 * (k % 3), 1000 + 8 * (k % 7), 500, k % 3 == 2 ? 1 : 0) !=
                         STATUS_SUCCESS;
    }
  });
  // The pictures themselves follow settings that change at any time; their size may not.
  for (int n = 0; n < 40 && !HasFailure(); ++n) {
    SCOPED_TRACE(n);
    stream.Next();
    EXPECT_EQ(stream.frame().width, 640);
    EXPECT_EQ(stream.frame().height, 480);
  }
  finish();
  EXPECT_EQ(region_failures.load(), 0);
  EXPECT_EQ(CurrentRegion(), before);
  stream.Close();
  EXPECT_EQ(CurrentRegion(), before);
  // With the pin gone the region moves again.
  SetRegion(0, 0, 320, 240);
  EXPECT_EQ(cam()->image_width, 320);
  EXPECT_EQ(Range().VideoInfoHeader.bmiHeader.biWidth, 320);
}

TEST_F(PropertyRaceTest, NoFrameMixesTwoColourMatrices) {
  // A strong orange seen with two hues half a turn apart: the two conversions differ on every
  // line outside the counter strip, so a frame that switched matrices part way shows it.
  constexpr int32_t kHues[2] = {0, 180};
  emulated().SetScene(emulator::Scene::Uniform({0.5f, 0.2f, 0.05f}));
  MatchedStream stream(filter(), emulated(), cam());
  stream.Open();
  ASSERT_FALSE(HasFatalFailure());
  auto finish = Race([&](int i) { filter().Set(kPropHue, kHues[i & 1]); });

  int seen[2] = {0, 0};
  std::vector<uint8_t> raw;
  const LONG h = 480, half = h / 2;
  // Until both matrices have shown up a few times; a frame mixing them fails at once.
  for (int n = 0; n < 300 && (seen[0] < 3 || seen[1] < 3) && !HasFailure(); ++n) {
    SCOPED_TRACE(n);
    stream.Take(&raw);
    if (HasFatalFailure()) break;
    bool top[2], bottom[2];
    for (int k = 0; k < 2; ++k) {
      const std::vector<uint8_t> picture =
          ExpectedPictureWith(cam(), raw, [&](ColorProcessor* p) { UpdateHue(p, kHues[k]); });
      top[k] = WrongRows(stream.frame(), picture, cam()->output_width, 0, half) == 0;
      bottom[k] = WrongRows(stream.frame(), picture, cam()->output_width, half, h) == 0;
    }
    // The two conversions must tell the halves apart for the check to mean anything.
    ASSERT_FALSE(top[0] && top[1]);
    ASSERT_FALSE(bottom[0] && bottom[1]);
    EXPECT_TRUE((top[0] && bottom[0]) || (top[1] && bottom[1]))
        << "picture " << stream.frame().picture_number << ": top half hue " << (top[0] ? 0 : top[1] ? 180 : -1)
        << ", bottom half hue " << (bottom[0] ? 0 : bottom[1] ? 180 : -1);
    for (int k = 0; k < 2; ++k) seen[k] += top[k] && bottom[k];
  }
  finish();
  EXPECT_GE(seen[0], 1);
  EXPECT_GE(seen[1], 1);
  stream.Close();
}

}  // namespace
}  // namespace kscam::stream_test
