// Frames of the emulated camera: readout geometry, frame size, frame requests, trigger,
// timing and frame faults, driven through the USB interface as the driver programs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <functional>

#include "camera_port.h"
#include "emulator/frame_counter.h"

namespace kscam::emulator::testing {
namespace {

bool InStrip(uint32_t w, uint32_t h, uint32_t c, uint32_t r) {
  CounterStrip s = CounterStripFor(w, h);
  return s.valid() && r >= s.y0 && r < s.y0 + s.block && c >= s.x0 && c < s.x0 + s.width();
}

// Checks output samples on a grid (and the corners) against the array addresses the
// readout should have read.
void ExpectSamples(const EmulatedCamera& cam, const std::vector<uint8_t>& frame, uint32_t w, uint32_t h,
                   const std::function<std::pair<int64_t, int64_t>(uint32_t, uint32_t)>& address) {
  auto check = [&](uint32_t c, uint32_t r) {
    if (InStrip(w, h, c, r)) return;
    auto [x, y] = address(c, r);
    uint8_t expected = IsActive(x, y) ? cam.ExpectedSample(uint32_t(x), uint32_t(y)) : 0;
    ASSERT_EQ(frame[size_t(r) * w + c], expected) << "output (" << c << ", " << r << ") array (" << x << ", " << y << ")";
  };
  for (uint32_t r = 0; r < h; r += 37)
    for (uint32_t c = 0; c < w; c += 29) check(c, r);
  for (uint32_t r : {0u, 1u, h - 2, h - 1})
    for (uint32_t c : {0u, 1u, w - 2, w - 1}) check(c, r);
}

// The colour of each of the four sites of the top-left output cell, seen through a scene whose
// three channels differ: it tells the Bayer order of the output.
std::string CellOrder(const std::vector<uint8_t>& frame, uint32_t w, uint32_t top_row) {
  std::string order;
  for (uint32_t i : {0u, 1u}) {
    for (uint32_t j : {0u, 1u}) {
      uint8_t v = frame[size_t(top_row + i) * w + j];
      order += v == RawResponse(0.8, 1200, 32) ? 'R' : v == RawResponse(0.4, 1200, 32) ? 'G' : v == RawResponse(0.1, 1200, 32) ? 'B' : '?';
    }
  }
  return order;
}

std::shared_ptr<const Scene> Orange() { return Scene::Uniform({0.8f, 0.4f, 0.1f}); }

TEST(Readout, FullSensorReadsTheWholeArrayInGrbgOrder) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{});
  EXPECT_EQ(bytes, 15'151'104u);
  EXPECT_EQ(cam.ControllerRegister(1), 0x30);
  auto frame = port.ReadFrame(bytes);
  ASSERT_TRUE(frame);
  ExpectSamples(cam, *frame, 4608, 3288, [](uint32_t c, uint32_t r) { return std::pair{24 + int64_t(c), 4 + int64_t(r)}; });
  EXPECT_EQ(std::count(frame->begin() + 4608 * 3288, frame->end(), 0), 15'151'104 - 4608 * 3288);
}

TEST(Readout, RegionWindowStartsOnTheNextMultipleOfFour) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  EXPECT_EQ(bytes, 307'200u);
  Readout r = cam.CurrentReadout();
  EXPECT_EQ(r.x_start, 124u);
  EXPECT_EQ(r.x_end, 763u);
  EXPECT_EQ(r.y_start, 56u);
  EXPECT_EQ(r.y_end, 535u);
  auto frame = port.ReadFrame(bytes);
  ASSERT_TRUE(frame);
  ExpectSamples(cam, *frame, 640, 480, [](uint32_t c, uint32_t r) { return std::pair{124 + int64_t(c), 56 + int64_t(r)}; });
}

TEST(Readout, SkippingKeepsBayerCellsTogether) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{0, 0, 4608, 3288, 1});
  EXPECT_EQ(bytes, 3'788'800u);
  auto frame = port.ReadFrame(bytes);
  ASSERT_TRUE(frame);
  ExpectSamples(cam, *frame, 2304, 1644, [](uint32_t c, uint32_t r) {
    return std::pair{24 + int64_t(c / 2) * 4 + c % 2, 4 + int64_t(r / 2) * 4 + r % 2};
  });

  bytes = port.Configure(Mode{0, 0, 4608, 3288, 2});
  EXPECT_EQ(bytes, 948'224u);
  EXPECT_EQ(cam.CurrentReadout().height, 824u);
  frame = port.ReadFrame(bytes);
  ASSERT_TRUE(frame);
  // The frame is cut at its size: 823 lines and a bit; lines 822 on lie past the window.
  ExpectSamples(cam, *frame, 1152, 822, [](uint32_t c, uint32_t r) {
    return std::pair{24 + int64_t(c / 2) * 8 + c % 2, 4 + int64_t(r / 2) * 8 + r % 2};
  });
  EXPECT_TRUE(std::all_of(frame->begin() + 1152 * 822, frame->end(), [](uint8_t v) { return v == 0; }));
}

TEST(Readout, ColourOrderFollowsTheFirstLineRead) {
  EmulatedCamera cam(Clean(Orange()));
  Port port(cam);
  // Full sensor, subsampled, odd region origin: all start on a green-red line.
  for (Mode m : {Mode{}, Mode{0, 0, 4608, 3288, 1}, Mode{0, 0, 4608, 3288, 2}, Mode{101, 51, 640, 480},
                 Mode{100, 50, 640, 481, 0, true}}) {
    uint32_t bytes = port.Configure(m);
    auto frame = port.ReadFrame(bytes);
    ASSERT_TRUE(frame);
    uint32_t w = cam.CurrentReadout().width;
    EXPECT_EQ(CellOrder(*frame, w, 0), "GRBG") << m.x << "," << m.y << " sub " << m.sub_sample;
    EXPECT_EQ(CellOrder(*frame, w, w > 2000 ? 400 : 200), "GRBG");
  }
  // Flip with an even height starts on the window's last line, a blue-green one.
  for (Mode m : {Mode{100, 51, 640, 480, 0, true}, Mode{0, 0, 4608, 3288, 1, true}}) {
    uint32_t bytes = port.Configure(m);
    auto frame = port.ReadFrame(bytes);
    ASSERT_TRUE(frame);
    EXPECT_EQ(CellOrder(*frame, cam.CurrentReadout().width, 0), "BGGR");
  }
}

TEST(Readout, FlipReversesTheLines) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  auto upright = port.ReadFrame(bytes);
  port.SetFlip(true);
  EXPECT_EQ(port.ReadSensor(0x0100).value() & 0xFF, 0x02);
  auto flipped = port.ReadFrame(bytes);
  ASSERT_TRUE(upright && flipped);
  for (uint32_t r = 0; r < 480; ++r)
    for (uint32_t c = 0; c < 640; c += 7) {
      if (InStrip(640, 480, c, r) || InStrip(640, 480, c, 479 - r)) continue;
      ASSERT_EQ((*flipped)[r * 640 + c], (*upright)[(479 - r) * 640 + c]) << c << "," << r;
    }

  // Subsampled and flipped: the pairs of lines count down from the window's last line.
  bytes = port.Configure(Mode{0, 0, 4608, 3288, 1, true});
  auto frame = port.ReadFrame(bytes);
  ASSERT_TRUE(frame);
  ExpectSamples(cam, *frame, 2304, 1644, [](uint32_t c, uint32_t r) {
    return std::pair{24 + int64_t(c / 2) * 4 + c % 2, 3291 - (int64_t(r / 2) * 4 + r % 2)};
  });
}

TEST(Readout, OutputPositionOfAnArrayAddressInvertsTheReadout) {
  EmulatedCamera cam;
  Port port(cam);
  for (Mode m : {Mode{}, Mode{100, 51, 640, 480, 0, true}, Mode{0, 0, 4608, 3288, 1, true}, Mode{0, 0, 4608, 3288, 2}}) {
    port.Configure(m);
    Readout r = cam.CurrentReadout();
    for (uint32_t row = 0; row < r.height; row += 97)
      for (uint32_t col = 0; col < r.width; col += 89) {
        int64_t x = r.ColumnAddress(col), y = r.RowAddress(row);
        if (x < 0 || y < 0) continue;
        auto pos = r.OutputOf(x, y);
        ASSERT_TRUE(pos);
        EXPECT_EQ(*pos, (std::pair{col, row}));
      }
  }
  // Skipped and out-of-window addresses are not read.
  port.Configure(Mode{0, 0, 4608, 3288, 1});
  Readout r = cam.CurrentReadout();
  EXPECT_FALSE(r.OutputOf(24 + 2, 4));
  EXPECT_FALSE(r.OutputOf(24, 4 + 3));
  EXPECT_FALSE(r.OutputOf(23, 4));
  EXPECT_EQ(r.OutputOf(24 + 5, 4 + 4), (std::pair{3u, 2u}));
}

TEST(Readout, PositionsOutsideTheArrayReadBlack) {
  EmulatedCamera cam(Clean(Scene::Uniform({0.5f, 0.5f, 0.5f})));
  Port port(cam);
  port.Configure(Mode{100, 51, 640, 480});
  // A window past the last column and row, and an output taller than the window.
  port.WriteSensor(0x0344, 4600);
  port.WriteSensor(0x0348, 4600 + 63);
  port.WriteSensor(0x0346, 3280);
  port.WriteSensor(0x034A, 3280 + 15);
  port.WriteSensor(0x034C, 64);
  port.WriteSensor(0x034E, 24);
  port.SetFrameBytes(64 * 24);
  auto frame = port.ReadFrame(64 * 24);
  ASSERT_TRUE(frame);
  for (uint32_t r = 0; r < 24; ++r)
    for (uint32_t c = 0; c < 64; ++c) {
      bool inside = 4600 + c <= 4631 && r < 16 && 3280 + r <= 3291;
      ASSERT_EQ((*frame)[r * 64 + c], inside ? 128 : 0) << c << "," << r;
    }
}

TEST(FrameSize, ControllerRegistersSetTheBytesSentWithZeroFillOrCut) {
  EmulatedCamera cam(Clean(Scene::Uniform({0.5f, 0.5f, 0.5f})));
  Port port(cam);
  port.Configure(Mode{100, 51, 640, 480});
  port.SetFrameBytes(400'000);
  auto frame = port.ReadFrame(400'000);
  ASSERT_TRUE(frame);
  EXPECT_EQ((*frame)[307'199], 128);
  EXPECT_TRUE(std::all_of(frame->begin() + 307'200, frame->end(), [](uint8_t v) { return v == 0; }));

  // Cut: a transfer that asks for more than is left ends short, and nothing follows.
  port.SetFrameBytes(100'000);
  std::vector<uint8_t> buffer(3 * 65536, 0xAB);
  auto chunks = port.StartFrame(buffer);
  ASSERT_TRUE(chunks[0]->Wait() && chunks[1]->Wait());
  EXPECT_EQ(chunks[0]->actual, 65536u);
  EXPECT_EQ(chunks[1]->status, TransferStatus::Success);
  EXPECT_EQ(chunks[1]->actual, 100'000u - 65536u);
  EXPECT_EQ(buffer[99'999], 128);
  EXPECT_EQ(buffer[100'000], 0xAB);
  EXPECT_FALSE(chunks[2]->Wait(30ms));
  cam.Cancel(chunks[2]->transfer.get());
  ASSERT_TRUE(chunks[2]->Wait());
  EXPECT_EQ(chunks[2]->status, TransferStatus::Cancelled);
  auto frames = cam.Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().bytes_sent, 100'000u);
  EXPECT_TRUE(frames.back().complete);
}

TEST(FrameRequests, CounterStripNumbersEveryFrameAndTheRecordMatches) {
  CameraOptions options;  // noise and defects on: the strip must still read
  options.scene = SharedChart();
  EmulatedCamera cam(options);
  cam.KeepFrameData(2);
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  std::vector<uint32_t> numbers;
  for (int i = 0; i < 3; ++i) {
    auto frame = port.ReadFrame(bytes);
    ASSERT_TRUE(frame);
    auto n = DecodeCounter(frame->data(), 640, 480);
    ASSERT_TRUE(n);
    numbers.push_back(*n);
  }
  EXPECT_EQ(numbers[1], numbers[0] + 1);
  EXPECT_EQ(numbers[2], numbers[1] + 1);
  auto frames = cam.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2].number, numbers[2]);
  EXPECT_TRUE(frames[2].complete);
  EXPECT_EQ(frames[2].bytes_sent, bytes);
  EXPECT_TRUE(frames[0].data.empty());  // only the last two are kept
  ASSERT_EQ(frames[2].data.size(), bytes);
  EXPECT_EQ(DecodeCounter(frames[2].data.data(), 640, 480), numbers[2]);

  // Too small for a strip: nothing decodes.
  bytes = port.Configure(Mode{0, 0, 33, 33});
  EXPECT_EQ(bytes, 2048u);
  auto small = port.ReadFrame(bytes);
  ASSERT_TRUE(small);
  EXPECT_FALSE(DecodeCounter(small->data(), 33, 33));
}

TEST(FrameRequests, PrepareDiscardsTheUnsentRestOfAFrame) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  // Only two of five chunks queued: the frame stalls half-way.
  std::vector<uint8_t> part(2 * 65536);
  auto chunks = port.StartFrame(part);
  ASSERT_TRUE(chunks[0]->Wait() && chunks[1]->Wait());
  auto whole = port.ReadFrame(bytes);  // its 0x02 drops the rest of the first frame
  ASSERT_TRUE(whole);
  auto frames = cam.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_FALSE(frames[0].complete);
  EXPECT_EQ(frames[0].bytes_sent, 2u * 65536);
  EXPECT_TRUE(frames[1].complete);
  EXPECT_EQ(DecodeCounter(whole->data(), 640, 480), frames[1].number);

  // Go without prepare sends nothing.
  std::vector<uint8_t> buffer(bytes);
  auto t = Pending::Submit(cam, kFrameEndpoint, buffer.data(), 65536);
  port.Send(Port::Command({0x03}));
  EXPECT_FALSE(t->Wait(30ms));
  cam.AbortPipe(kFrameEndpoint);
  ASSERT_TRUE(t->Wait());
}

TEST(FrameRequests, NoFramesWhileTheSensorDoesNotStream) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  port.WriteSensor(0x301A, 0x10D8);  // streaming bit off
  std::vector<uint8_t> buffer(bytes);
  auto chunks = port.StartFrame(buffer);
  EXPECT_FALSE(chunks[0]->Wait(30ms));
  port.WriteSensor(0x301A, 0x10DC);
  for (auto& c : chunks) ASSERT_TRUE(c->Wait());
  EXPECT_EQ(chunks.back()->status, TransferStatus::Success);
}

TEST(Trigger, TriggerModeHoldsEachFrameUntilATrigger) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480, 0, false, 1200, 32, true});
  std::vector<uint8_t> buffer(bytes);
  auto chunks = port.StartFrame(buffer);
  EXPECT_FALSE(chunks[0]->Wait(50ms));
  cam.Trigger();
  for (auto& c : chunks) ASSERT_TRUE(c->Wait());
  EXPECT_TRUE(DecodeCounter(buffer.data(), 640, 480));

  // A trigger before the request is remembered (once).
  cam.Trigger();
  cam.Trigger();
  EXPECT_TRUE(port.ReadFrame(bytes));
  chunks = port.StartFrame(buffer);
  EXPECT_FALSE(chunks[0]->Wait(50ms));
  // Trigger off again: the held frame goes at once.
  port.WriteController(11, 0);
  for (auto& c : chunks) ASSERT_TRUE(c->Wait());
}

TEST(Trigger, TriggersOutsideTriggerModeAreIgnored) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  cam.Trigger();
  ASSERT_TRUE(port.ReadFrame(bytes));
  port.WriteController(11, 0x25);
  std::vector<uint8_t> buffer(bytes);
  auto chunks = port.StartFrame(buffer);
  EXPECT_FALSE(chunks[0]->Wait(50ms));  // the earlier trigger was not kept
  cam.AbortPipe(kFrameEndpoint);
}

TEST(Timing, FramePeriodFollowsLineLengthFrameLengthClockAndExposure) {
  EmulatedCamera cam;
  Port port(cam);
  port.Configure(Mode{});
  // 4920 x 3536 pixel clocks at 48 MHz.
  EXPECT_EQ(cam.FramePeriod().count(), 362'440'000);
  port.Configure(Mode{.clock = 2});
  EXPECT_EQ(cam.FramePeriod().count(), 181'220'000);
  port.Configure(Mode{.clock = 1});
  EXPECT_EQ(cam.FramePeriod().count(), 724'880'000);
  port.Configure(Mode{100, 51, 640, 480, 0, false, 500});
  EXPECT_EQ(cam.FramePeriod().count(), 2518ll * 728 * 1'000'000'000 / 48'000'000);
  // An exposure longer than the frame stretches it.
  port.WriteSensor(0x3012, 5000);
  EXPECT_EQ(cam.FramePeriod().count(), 2518ll * 5001 * 1'000'000'000 / 48'000'000);
}

TEST(Timing, RealTimeModeDeliversFramesInOrder) {
  CameraOptions options = Clean(SharedChart());
  options.speed = Speed::RealTime;
  EmulatedCamera cam(options);
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{0, 0, 640, 480, 0, false, 200, 32, false, 2});
  uint32_t last = 0;
  for (int i = 0; i < 3; ++i) {
    auto frame = port.ReadFrame(bytes);
    ASSERT_TRUE(frame);
    auto n = DecodeCounter(frame->data(), 640, 480);
    ASSERT_TRUE(n);
    EXPECT_GT(*n, last);
    last = *n;
  }
}

TEST(FrameFaults, FailedAndShortChunks) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});

  cam.FailChunk(1, ChunkFault::Error);
  std::vector<uint8_t> buffer(bytes, 0xAB);
  auto chunks = port.StartFrame(buffer);
  for (auto& c : chunks) ASSERT_TRUE(c->Wait());
  EXPECT_EQ(chunks[1]->status, TransferStatus::Error);
  EXPECT_EQ(chunks[1]->actual, 0u);
  EXPECT_EQ(buffer[65536], 0xAB);
  EXPECT_EQ(chunks[2]->status, TransferStatus::Success);
  EXPECT_EQ(chunks[4]->actual, bytes - 4 * 65536);

  auto frames = cam.Frames();
  EXPECT_TRUE(frames.back().complete);

  // A short chunk: the rest of the frame moves up into the following transfers, so the last
  // one fills completely and the frame is not over yet.
  auto reference = port.ReadFrame(bytes);
  ASSERT_TRUE(reference);
  cam.FailChunk(1, ChunkFault::Short, 1000);
  std::fill(buffer.begin(), buffer.end(), 0xAB);
  chunks = port.StartFrame(buffer);
  for (auto& c : chunks) ASSERT_TRUE(c->Wait());
  EXPECT_EQ(chunks[1]->status, TransferStatus::Success);
  EXPECT_EQ(chunks[1]->actual, 1000u);
  EXPECT_EQ(chunks[4]->actual, bytes - 4 * 65536);
  EXPECT_TRUE(std::equal(buffer.begin() + 2 * 65536, buffer.begin() + 3 * 65536,
                         reference->begin() + 65536 + 1000));

  // The next request drops the unsent rest; the fault applied to one frame only.
  EXPECT_TRUE(port.ReadFrame(bytes));
  frames = cam.Frames();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_FALSE(frames[frames.size() - 2].complete);
  EXPECT_EQ(frames[frames.size() - 2].bytes_sent, 4u * 65536 + 1000 - 65536 + bytes - 4 * 65536);
}

TEST(FrameFaults, WithheldFramesNeverComeAndStallAbandonsAFrame) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  cam.WithholdFrames(true);
  EXPECT_FALSE(port.ReadFrame(bytes, 50ms));
  cam.WithholdFrames(false);
  ASSERT_TRUE(port.ReadFrame(bytes));

  std::vector<uint8_t> part(65536);
  auto chunks = port.StartFrame(part);
  ASSERT_TRUE(chunks[0]->Wait());
  cam.StallPipe(kFrameEndpoint);
  std::vector<uint8_t> buffer(bytes);
  chunks = port.StartFrame(buffer);
  for (auto& c : chunks) {
    ASSERT_TRUE(c->Wait());
    EXPECT_EQ(c->status, TransferStatus::Stalled);
  }
  cam.ResetPipe(kFrameEndpoint);
  EXPECT_TRUE(port.ReadFrame(bytes));
  // The frame stalled after one chunk is on record as cut short; the last one is whole.
  auto frames = cam.Frames();
  EXPECT_TRUE(std::any_of(frames.begin(), frames.end(),
                          [](const SentFrame& f) { return !f.complete && f.bytes_sent == 65536; }));
  EXPECT_TRUE(frames.back().complete);
}

TEST(FrameFaults, DisconnectDuringAFrameFailsItsTransfers) {
  EmulatedCamera cam(Clean(SharedChart()));
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{});
  std::vector<uint8_t> buffer(bytes);
  auto chunks = port.StartFrame(buffer);
  ASSERT_TRUE(chunks[0]->Wait());
  cam.Disconnect();
  for (auto& c : chunks) ASSERT_TRUE(c->Wait());
  EXPECT_EQ(chunks.back()->status, TransferStatus::NoDevice);
  cam.Reconnect();
  ASSERT_TRUE(cam.SetConfiguration(1));
  bytes = port.Configure(Mode{100, 51, 640, 480});
  EXPECT_TRUE(port.ReadFrame(bytes));
}

TEST(Threads, ControlCallsWhileFramesStream) {
  CameraOptions options;
  options.scene = SharedChart();
  EmulatedCamera cam(options);
  Port port(cam);
  uint32_t bytes = port.Configure(Mode{100, 51, 640, 480});
  std::atomic<bool> done{false};
  auto plain = Scene::Uniform({0.2f, 0.3f, 0.4f});
  std::thread control([&] {
    int i = 0;
    while (!done) {
      cam.SetNoise(i % 2 ? 0.0 : 2.0);
      cam.SetScene(i % 3 ? SharedChart() : plain);
      cam.Trigger();
      cam.Frames();
      cam.CurrentReadout();
      cam.KeepFrameData(i % 2);
      ++i;
    }
  });
  for (int i = 0; i < 8; ++i) {
    auto frame = port.ReadFrame(bytes);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(DecodeCounter(frame->data(), 640, 480));
  }
  done = true;
  control.join();
}

}  // namespace
}  // namespace kscam::emulator::testing
