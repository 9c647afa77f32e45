// The client's Stream over the host's pins: format negotiation, buffers queued at Run, frames
// taken with their header fields, and clean-up whatever state the stream is left in.
#include "client/stream.h"

#include "client/camera_properties.h"
#include "host/kernel/verifier.h"
#include "tests/ks/fake_minidriver.h"

namespace kscam::ks_test {
namespace {

// A Process that delivers one frame per request, as a capture driver would.
struct Deliverer {
  std::atomic<LONGLONG> pictures{0};

  NTSTATUS Deliver(PKSPIN pin) {
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (!edge) return STATUS_PENDING;
    const LONGLONG number = ++pictures;
    PKSSTREAM_HEADER header = edge->StreamHeader;
    std::memset(edge->OffsetOut.Data, static_cast<int>(number), edge->OffsetOut.Remaining);
    header->DataUsed = edge->OffsetOut.Remaining;
    header->Duration = 333333;
    PIKSREFERENCECLOCK clock = nullptr;
    if (NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &clock))) {
      LONGLONG system = 0;
      header->PresentationTime.Time = clock->GetCorrelatedTime(&system);
      header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
      if (header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        auto* info = reinterpret_cast<KS_FRAME_INFO*>(header + 1);
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        info->PictureNumber = number;
        info->DropCount = 0;
      }
      clock->Release();
    }
    KsStreamPointerUnlock(edge, TRUE);
    return STATUS_PENDING;
  }
};

class ClientStreamTest : public FakeHostTest {
 protected:
  ClientStreamTest() {
    fake().process = [this](PKSPIN pin) { return deliverer_.Deliver(pin); };
    client_filter_ = std::make_unique<client::Filter>(device(), filter());
  }
  ~ClientStreamTest() override { client_filter_.reset(); }

  client::Filter& client_filter() { return *client_filter_; }
  Deliverer& deliverer() { return deliverer_; }

 private:
  Deliverer deliverer_;
  std::unique_ptr<client::Filter> client_filter_;
};

TEST_F(ClientStreamTest, NegotiatesRunsAndTakesFramesWithTheirFields) {
  NTSTATUS status = STATUS_PENDING;
  client::StreamOptions options;
  options.buffers = 2;
  auto stream = client::Stream::Open(client_filter(), options, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->format().bmiHeader.biWidth, 64);
  EXPECT_EQ(stream->format().bmiHeader.biSizeImage, 64u * 48 * 4);
  // The driver's intersection saw the pin's range proposed whole.
  EXPECT_EQ(fake().intersect_range_sizes.front(), sizeof(KS_DATARANGE_VIDEO));
  EXPECT_EQ(device().open_pins(), 1u);

  ASSERT_EQ(stream->Run(), STATUS_SUCCESS);
  EXPECT_EQ(stream->queued_buffers(), 2u);
  EXPECT_EQ(stream->ks_pin()->DeviceState, KSSTATE_RUN);
  // Run on a running stream does not stop it on the way.
  fake().steps.clear();
  ASSERT_EQ(stream->Run(), STATUS_SUCCESS);
  EXPECT_TRUE(fake().steps.empty());

  client::Frame frame;
  for (LONGLONG n = 1; n <= 3; ++n) {
    KsPinAttemptProcessing(stream->ks_pin(), TRUE);
    ASSERT_TRUE(stream->Next(&frame, 10000, &status));
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(frame.width, 64);
    EXPECT_EQ(frame.height, 48);
    EXPECT_EQ(frame.pitch, 256u);
    ASSERT_EQ(frame.data.size(), 64u * 48 * 4);
    EXPECT_EQ(frame.data.front(), static_cast<uint8_t>(n));
    EXPECT_EQ(frame.data.back(), static_cast<uint8_t>(n));
    EXPECT_EQ(frame.data_used, 64u * 48 * 4);
    EXPECT_EQ(frame.duration, 333333);
    EXPECT_GT(frame.presentation_time, 0);
    EXPECT_EQ(frame.options_flags, 0x110u);
    EXPECT_TRUE(frame.has_frame_info);
    EXPECT_EQ(frame.picture_number, n);
    // The buffer went back to the pin at once.
    EXPECT_EQ(stream->queued_buffers(), 2u);
  }
  // Nothing delivered: a time-out, and the stream stays usable.
  EXPECT_FALSE(stream->Next(&frame, 10, &status));
  EXPECT_EQ(status, STATUS_TIMEOUT);

  // Stop returns the queued buffers; Run queues them again.
  ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(stream->queued_buffers(), 0u);
  ASSERT_EQ(stream->Run(), STATUS_SUCCESS);
  EXPECT_EQ(stream->queued_buffers(), 2u);
  KsPinAttemptProcessing(stream->ks_pin(), TRUE);
  ASSERT_TRUE(stream->Next(&frame, 10000, &status));
  // Destroyed running with frames queued: stopped and closed, nothing left.
  stream.reset();
  EXPECT_EQ(device().open_pins(), 0u);
  EXPECT_EQ(fake().closes, 1);
}

TEST_F(ClientStreamTest, WithoutClockOrFrameInfoTheFieldsStayTheClients) {
  client::StreamOptions options;
  options.reference_clock = false;
  options.buffers = 1;
  auto stream = client::Stream::Open(client_filter(), options);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(stream->Run(), STATUS_SUCCESS);
  KsPinAttemptProcessing(stream->ks_pin(), TRUE);
  client::Frame frame;
  ASSERT_TRUE(stream->Next(&frame, 10000));
  EXPECT_EQ(frame.presentation_time, 0);
  EXPECT_EQ(frame.options_flags, 0u);
  EXPECT_FALSE(frame.has_frame_info);

  client::StreamOptions no_info;
  no_info.frame_info = false;
  stream.reset();
  stream = client::Stream::Open(client_filter(), no_info);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(stream->Run(), STATUS_SUCCESS);
  KsPinAttemptProcessing(stream->ks_pin(), TRUE);
  ASSERT_TRUE(stream->Next(&frame, 10000));
  EXPECT_EQ(frame.options_flags, 0x110u);
  EXPECT_FALSE(frame.has_frame_info);
}

TEST_F(ClientStreamTest, OpenFailuresLeaveNoPin) {
  NTSTATUS status = STATUS_PENDING;
  fake().create_status = STATUS_SHARING_VIOLATION;
  EXPECT_EQ(client::Stream::Open(client_filter(), {}, &status), nullptr);
  EXPECT_EQ(status, STATUS_SHARING_VIOLATION);
  fake().create_status = STATUS_SUCCESS;
  auto first = client::Stream::Open(client_filter(), {}, &status);
  ASSERT_NE(first, nullptr);
  // One capture pin per filter.
  EXPECT_EQ(client::Stream::Open(client_filter(), {}, &status), nullptr);
  EXPECT_EQ(status, STATUS_TOO_MANY_NODES);
  // A stream never run closes cleanly too.
  first.reset();
  EXPECT_EQ(device().open_pins(), 0u);
}

}  // namespace
}  // namespace kscam::ks_test
