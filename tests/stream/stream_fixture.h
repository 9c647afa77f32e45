// A started camera with its capture filter open, the capture pin as applications reach it
// through the class driver (format intersection, pin create, state changes, client frames),
// and the expected picture of a raw frame.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "camera/color_lock.h"
#include "color/color_processor.h"
#include "convert/frame_convert.h"
#include "host/kernel/verifier.h"
#include "property/camera_property_set.h"
#include "stream/capture_pin.h"
#include "stream/capture_thread.h"
#include "tests/camera/camera_host.h"

namespace kscam::stream_test {

using camera_test::CameraHost;

// A client frame: a stream header followed by a frame-info record, and its buffer. The data
// buffer is larger than the frame's extent so that a write past it shows.
struct ClientFrame {
  static constexpr uint8_t kFill = 0xCD;
  static constexpr size_t kGuard = 4096;

  struct {
    KSSTREAM_HEADER header;
    KS_FRAME_INFO info;
  } record{};
  std::vector<uint8_t> data;

  // Prepares the frame for queueing: everything the driver may write is set to a marker.
  void Prepare(ULONG extent, ULONG header_size = sizeof(record), ULONG options = 0) {
    std::memset(&record, 0xEE, sizeof(record));
    data.assign(size_t(extent) + kGuard, kFill);
    KSSTREAM_HEADER& h = record.header;
    h.Size = header_size;
    h.TypeSpecificFlags = 0;
    h.PresentationTime = {-1, 7, 9};
    h.Duration = -1;
    h.FrameExtent = extent;
    h.DataUsed = 0xFFFFFFFF;
    h.Data = data.data();
    h.OptionsFlags = options;
    h.Reserved = 0;
  }
  KSSTREAM_HEADER* header() { return &record.header; }
  bool GuardIntact() const {
    for (size_t i = record.header.FrameExtent; i < data.size(); ++i)
      if (data[i] != kFill) return false;
    return true;
  }
};
static_assert(sizeof(ClientFrame::record) == 128);

inline ClientFrame* FrameOf(PKSSTREAM_HEADER header) {
  return reinterpret_cast<ClientFrame*>(reinterpret_cast<uint8_t*>(header) - offsetof(ClientFrame, record));
}

// The picture a raw frame gives, by the scalar conversion, with the camera's current geometry and colour settings
// (those a fresh colour processor has, and the camera's Bayer phase), rows top to bottom,
// output_width pixels each.
inline std::vector<uint8_t> ExpectedPicture(const CameraDevice* cam, const std::vector<uint8_t>& raw) {
  const ULONG width = static_cast<ULONG>(cam->output_width);
  const ULONG height = static_cast<ULONG>(cam->output_height);
  ColorProcessor* p = CreateColorProcessor();
  SetConversionPath(p, kConversionScalar);
  SetBayerPhase(p, static_cast<LONG>(cam->settings.bayer_phase));
  SetFrameSize(p, width, height);
  EXPECT_EQ(AllocateWorkBuffer(p), STATUS_SUCCESS);
  std::vector<uint8_t> picture(size_t(width) * height * 4);
  p->OutputBuffer = picture.data();
  ConvertFrame(p, raw.data(), static_cast<ULONG>(cam->image_offset), static_cast<ULONG>(cam->line_stride));
  DestroyColorProcessor(p);
  return picture;
}

// Polls `condition` for up to `seconds`; true once it holds.
template <typename Condition>
bool Eventually(Condition condition, int seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline size_t CountCommands(const emulator::EmulatedCamera& camera, uint8_t code) {
  size_t n = 0;
  for (const auto& c : camera.Commands()) n += c.packet[0] == code;
  return n;
}

class StreamTest : public ::testing::Test {
 protected:
  StreamTest() {
    filter_ = host_.device().OpenFilter(&open_status_);
    EXPECT_EQ(open_status_, STATUS_SUCCESS);
  }
  ~StreamTest() override {
    for (PKSPIN pin : pins_) ks().ClosePin(pin);
    filter_.reset();
    InterlockedExchange(&FrameTimeout, saved_timeout_);
  }

  CameraHost& host() { return host_; }
  CameraDevice* cam() { return host_.cam(); }
  emulator::EmulatedCamera& emulated() { return host_.emulated(); }
  host::ks::Device& ks() { return host_.device().device(); }
  client::Filter& filter() { return *filter_; }

  // The region as an application sets it; the request itself always succeeds.
  void SetRegion(int x, int y, int w, int h, int sub = 0) {
    EXPECT_EQ(filter_->SetRegion(x, y, w, h, sub), STATUS_SUCCESS);
  }

  // The capture pin's data range as the filter offers it.
  KS_DATARANGE_VIDEO Range() {
    auto ranges = host::ks::PinDataRanges(ks().filter_factories().at(0), 0);
    KS_DATARANGE_VIDEO range{};
    EXPECT_EQ(ranges.size(), 1u);
    if (ranges.size() == 1 && ranges[0].size() == sizeof(range)) std::memcpy(&range, ranges[0].data(), sizeof(range));
    return range;
  }

  // Data intersection through the class driver.
  NTSTATUS Intersect(const void* range, ULONG size, std::vector<uint8_t>* format) {
    return ks().PinIntersect(filter_->ks_filter(), 0, range, size, format);
  }
  KS_DATAFORMAT_VIDEOINFOHEADER Format() {
    KS_DATARANGE_VIDEO range = Range();
    std::vector<uint8_t> bytes;
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    EXPECT_EQ(Intersect(&range, sizeof(range), &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes.size(), sizeof(format));
    if (bytes.size() == sizeof(format)) std::memcpy(&format, bytes.data(), sizeof(format));
    return format;
  }

  // Creates the capture pin on `filter` (the fixture's by default); closed by the fixture.
  NTSTATUS CreatePin(const KS_DATAFORMAT_VIDEOINFOHEADER& format, PKSPIN* pin, bool clock = true,
                     client::Filter* on = nullptr) {
    host::ks::Device::PinOptions options;
    options.reference_clock = clock;
    *pin = nullptr;
    NTSTATUS status = ks().CreatePin((on ? on : filter_.get())->ks_filter(), 0, &format, sizeof(format), options, pin);
    if (NT_SUCCESS(status)) pins_.push_back(*pin);
    return status;
  }
  PKSPIN OpenPin(bool clock = true) {
    PKSPIN pin = nullptr;
    EXPECT_EQ(CreatePin(Format(), &pin, clock), STATUS_SUCCESS);
    return pin;
  }
  NTSTATUS ClosePin(PKSPIN pin) {
    pins_.erase(std::remove(pins_.begin(), pins_.end(), pin), pins_.end());
    return ks().ClosePin(pin);
  }
  CapturePin* Context(PKSPIN pin) { return static_cast<CapturePin*>(pin->Context); }

  // Client frames for the pin's current format.
  ClientFrame& NewFrame() {
    frames_.push_back(std::make_unique<ClientFrame>());
    return *frames_.back();
  }
  ClientFrame& Queue(PKSPIN pin, ULONG extent, ULONG header_size = 128, ULONG options = 0) {
    ClientFrame& frame = NewFrame();
    frame.Prepare(extent, header_size, options);
    EXPECT_EQ(ks().SubmitFrame(pin, frame.header()), STATUS_SUCCESS);
    return frame;
  }
  // The next completed frame, or null after 20 s.
  ClientFrame* Next(PKSPIN pin, NTSTATUS* status = nullptr) {
    host::ks::Device::CompletedFrame done;
    if (!ks().WaitFrame(pin, 20000, &done)) return nullptr;
    if (status) *status = done.status;
    return FrameOf(done.header);
  }

  // External trigger on: the camera sends one frame per Trigger().
  void TriggerMode() {
    EXPECT_EQ(filter_->Set(kPropExTrigger, 1), STATUS_SUCCESS);
    // A held frame is waited for as long as the test needs.
    SetFrameTimeout(600000);
    triggers_ = CountCommands(emulated(), 0x03);
  }
  // Fires the trigger once the driver's next read has asked for its frame (frame-go command).
  void Trigger() {
    ++triggers_;
    EXPECT_TRUE(Eventually([&] { return CountCommands(emulated(), 0x03) >= triggers_; }));
    emulated().Trigger();
  }

  // Forgets what the camera received and sent; triggers count from here.
  void ClearRecord() {
    emulated().ClearRecord();
    triggers_ = 0;
  }

  // Sets the driver-wide frame time-out; restored when the test ends.
  void SetFrameTimeout(LONG ms) { InterlockedExchange(&FrameTimeout, ms); }

  // What a stream's ACQUIRE makes, for tests that drive the capture thread themselves.
  void MakeColorProcessor() {
    ColorLock lock(cam());
    cam()->color = CreateColorProcessor();
    SetBayerPhase(cam()->color, static_cast<LONG>(cam()->settings.bayer_phase));
  }
  void DropColorProcessor() {
    ColorLock lock(cam());
    DestroyColorProcessor(cam()->color);
    cam()->color = nullptr;
  }

 private:
  LONG saved_timeout_ = ReadAcquire(&FrameTimeout);
  CameraHost host_;
  NTSTATUS open_status_ = STATUS_PENDING;
  std::unique_ptr<client::Filter> filter_;
  std::vector<PKSPIN> pins_;
  std::vector<std::unique_ptr<ClientFrame>> frames_;
  size_t triggers_ = 0;
};

}  // namespace kscam::stream_test
