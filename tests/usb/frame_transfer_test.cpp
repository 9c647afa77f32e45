// Frame reads: the chunk chain, the frame commands around it, what counts as a whole frame,
// time-outs, pipe recovery and chains that end early.
#include "tests/usb/camera_fixture.h"

namespace kscam::test {
namespace {

using usb::FaultAction;
using usb::RequestRecord;

class FrameTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(t.Configure(), STATUS_SUCCESS);
    t.port().ClearLog();
  }
  // Reads one frame into a fresh buffer; the buffer's content is kept in `last`.
  bool Read() {
    RawBuffer buffer(static_cast<size_t>(t.camera()->frame_bytes));
    BOOLEAN success = 2;
    BOOLEAN result = t.camera()->ReadFrame(buffer.data(), &success);
    EXPECT_EQ(result, success);
    last.assign(buffer.data(), buffer.data() + buffer.size());
    return result == TRUE;
  }
  void ExpectNothingOutstanding() {
    t.bus().Drain();
    EXPECT_EQ(t.port().OutstandingTransfers(), 0u);
    EXPECT_EQ(t.device().WaitingTransfers(), 0u);
    EXPECT_EQ(t.usb()->chunks, nullptr);
    EXPECT_EQ(t.usb()->buffer_mdl, nullptr);
  }
  FrameTimeoutScope patient{kPatientFrameTimeoutMs};
  TestCamera t;
  std::vector<uint8_t> last;
};

TEST_F(FrameTransfer, ChunkCountsAndSizes) {
  struct Case {
    uint32_t bytes;
    size_t chunks;
    uint32_t last;
  };
  for (Case c : {Case{15151104, 232, 12288}, Case{307200, 5, 45056}, Case{65536, 1, 65536}}) {
    SCOPED_TRACE(c.bytes);
    t.SetGeometry(640, 480, c.bytes);
    t.script().frame_bytes = c.bytes;
    t.port().ClearLog();
    ASSERT_TRUE(Read());
    auto chunks = t.Transfers(kFrameEndpoint);
    ASSERT_EQ(chunks.size(), c.chunks);
    for (size_t i = 0; i + 1 < chunks.size(); ++i) EXPECT_EQ(chunks[i].length, 65536u);
    EXPECT_EQ(chunks.back().length, c.last);
    for (auto& r : chunks) {
      EXPECT_TRUE(r.in);
      EXPECT_TRUE(r.short_ok);
      EXPECT_TRUE(r.uses_mdl);
    }
    // The data lands in place, in order.
    for (uint32_t i : {0u, 65535u, 65536u, c.bytes - 1}) {
      if (i >= c.bytes) continue;
      EXPECT_EQ(last[i], uint8_t(i * 7 + t.script().frame_go)) << i;
    }
  }
  // A buffer that does not start on a page: every chunk's slice then spans one page more.
  RawBuffer unaligned(307200 + 1);
  t.SetGeometry(640, 480, 307200);
  t.script().frame_bytes = 307200;
  BOOLEAN success = FALSE;
  EXPECT_TRUE(t.camera()->ReadFrame(unaligned.data() + 1, &success));
  EXPECT_EQ(unaligned.data()[0], 0xEE);
  EXPECT_EQ(unaligned.data()[1 + 307199], uint8_t(307199 * 7 + t.script().frame_go));
  ExpectNothingOutstanding();
}

TEST_F(FrameTransfer, RequestsOfOneFrameInOrder) {
  t.SetGeometry(640, 480, 307200);
  t.script().frame_bytes = 307200;
  ASSERT_TRUE(Read());
  std::vector<std::string> order;
  for (auto& r : t.port().Log()) {
    if (r.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) continue;
    if (r.endpoint == kCommandEndpoint) order.push_back("cmd" + std::to_string(r.data.at(0)));
    if (r.endpoint == kFrameEndpoint && (order.empty() || order.back() != "chunks")) order.push_back("chunks");
  }
  EXPECT_EQ(order, (std::vector<std::string>{"cmd2", "cmd2", "chunks", "cmd3"}));
  EXPECT_EQ(t.Transfers(kFrameEndpoint).size(), 5u);
}

TEST_F(FrameTransfer, OnlyWholeFramesCount) {
  // 100 x 100 pixels in a 10,240-byte frame: one chunk.
  t.SetGeometry(100, 100, 10240);
  t.script().frame_messages = {std::vector<uint8_t>(10000, 1)};  // short, but past the image
  EXPECT_TRUE(Read());
  t.script().frame_messages = {std::vector<uint8_t>(9999, 1)};  // short inside the image
  EXPECT_FALSE(Read());

  // Two chunks: a short first chunk fails even when the second brings the rest.
  t.SetGeometry(400, 200, 80000);
  t.script().frame_messages = {std::vector<uint8_t>(60000, 2), std::vector<uint8_t>(20000, 3)};
  EXPECT_FALSE(Read());
  t.script().frame_messages = {std::vector<uint8_t>(80000, 4)};
  EXPECT_TRUE(Read());
  ExpectNothingOutstanding();
}

TEST_F(FrameTransfer, FailedChunkFailsTheFrameAndTheStalledPipeRecovers) {
  t.SetGeometry(256, 512, 131072);
  t.script().frame_bytes = 131072;
  // Every chunk failing with an error: not a frame; the pipe is reset afterwards.
  t.script().error_chunks = 2;
  EXPECT_FALSE(Read());
  EXPECT_EQ(t.device().ResetPipeCount(kFrameEndpoint), 1);

  // A stalled frame pipe fails the read, is reset, and the next read works.
  t.device().Stall(kFrameEndpoint);
  EXPECT_FALSE(Read());
  EXPECT_EQ(t.device().ResetPipeCount(kFrameEndpoint), 2);
  EXPECT_TRUE(Read());
  EXPECT_EQ(t.device().ResetPipeCount(kFrameEndpoint), 2);
  ExpectNothingOutstanding();
}

TEST_F(FrameTransfer, SilentCameraTimesOutWithNothingOutstanding) {
  FrameTimeoutScope timeout(150);
  t.SetGeometry(640, 480, 307200);
  t.script().frames = false;
  EXPECT_FALSE(Read());
  ExpectNothingOutstanding();
  // Cancelled chunks are not a pipe fault.
  EXPECT_EQ(t.device().ResetPipeCount(kFrameEndpoint), 0);
  // The frame that comes later is read by the next request.
  t.script().frames = true;
  t.script().frame_bytes = 307200;
  EXPECT_TRUE(Read());
}

TEST_F(FrameTransfer, LongestTimeOutWaitsForTheFrame) {
  FrameTimeoutScope timeout(0xFFFFFFFF);
  t.SetGeometry(640, 480, 307200);
  t.script().frames = false;
  std::thread late([&] {
    while (t.script().frame_go.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    t.device().QueueIn(kFrameEndpoint, std::vector<uint8_t>(307200, 9));
  });
  EXPECT_TRUE(Read());
  late.join();
  EXPECT_EQ(last[307199], 9);
}

TEST_F(FrameTransfer, RefusedSubmissionSettlesTheChainAtOnce) {
  // With a time-out nobody would wait for, the read must end on its own.
  FrameTimeoutScope timeout(600000);
  t.SetGeometry(640, 480, 307200);
  t.script().frame_bytes = 307200;
  for (int refused : {1, 3, 5}) {
    SCOPED_TRACE(refused);
    int seen = 0;
    t.port().SetFaultHook([&](const RequestRecord& r) -> std::optional<FaultAction> {
      if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == kFrameEndpoint && ++seen == refused) {
        return FaultAction{FaultAction::Kind::Refuse, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES};
      }
      return std::nullopt;
    });
    EXPECT_FALSE(Read());
    t.port().SetFaultHook(nullptr);
    ExpectNothingOutstanding();
  }
  EXPECT_TRUE(Read());
}

TEST_F(FrameTransfer, PoolShortageAnywhereInTheReadFailsCleanly) {
  FrameTimeoutScope timeout(600000);
  t.SetGeometry(640, 480, 307200);
  t.script().frame_bytes = 307200;
  // The read allocates: frame-request URB, chunk array, buffer MDL, the stream command's URB
  // and IRP, then IRP, MDL and URB per chunk. Each failure in turn.
  RawBuffer buffer(307200);
  for (uint64_t n = 1; n <= 30; ++n) {
    SCOPED_TRACE(n);
    host::verifier::FailNthAllocation(n);
    BOOLEAN success = FALSE;
    t.camera()->ReadFrame(buffer.data(), &success);
    host::verifier::ResetFaultInjection();
    ExpectNothingOutstanding();
  }
  EXPECT_TRUE(Read());
}

TEST_F(FrameTransfer, CancelFlagStopsReadsWithoutWaiting) {
  FrameTimeoutScope timeout(600000);
  t.SetGeometry(640, 480, 307200);
  t.script().frames = false;
  SetFrameReadCancel(t.usb(), true);
  EXPECT_FALSE(Read());
  EXPECT_TRUE(t.Transfers(kFrameEndpoint).empty());
  SetFrameReadCancel(t.usb(), false);

  // A stop while the read waits: the flag, then the cancellation the stop sends.
  std::thread stopper([&] {
    while (t.device().WaitingTransfers() < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    SetFrameReadCancel(t.usb(), true);
    t.camera()->CancelFrameTransfer();
  });
  EXPECT_FALSE(Read());
  stopper.join();
  ExpectNothingOutstanding();
  SetFrameReadCancel(t.usb(), false);
}

TEST_F(FrameTransfer, FrameLayoutOperations) {
  t.SetGeometry(576, 411, 237568);
  ULONG v = 0;
  t.camera()->GetFrameSize(&v);
  EXPECT_EQ(v, 237568u);
  t.camera()->GetFramePitch(&v);
  EXPECT_EQ(v, 576u);
  t.camera()->GetFrameOffset(&v);
  EXPECT_EQ(v, 0u);
}

TEST(FrameTransferUnconfigured, FailsAtOnce) {
  TestCamera t;
  t.SetGeometry(640, 480, 307200);
  RawBuffer buffer(307200);
  BOOLEAN success = TRUE;
  EXPECT_FALSE(t.camera()->ReadFrame(buffer.data(), &success));
  EXPECT_FALSE(success);
  EXPECT_TRUE(t.port().Log().empty());
}

}  // namespace
}  // namespace kscam::test
