// A property thread keeps changing the colour matrix while frames are converted: every frame
// must come out of one matrix, never a mix of two publications.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "tests/convert/convert_test_support.h"

namespace {

using namespace convert_test;

TEST(ConvertThreads, NoFrameMixesTwoMatrices) {
  const ULONG w = 64, h = 32;
  Converter c(w, h);
  IdentityMatrix(c.get());
  const auto raw = Flat(w, h, 100);

  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    // Brightness 200 offsets every channel by -55, 310 by +55: a frame whose snapshot mixed
    // the two would show different channels.
    for (int i = 0; i < 200000 && !stop.load(); ++i) UpdateBrightness(c.get(), (i & 1) ? 310 : 200);
  });

  std::set<int> seen;
  int bad_frames = 0;
  for (int frame = 0; frame < 400; ++frame) {
    c.Convert(raw);
    const Bgra first = c.At(0, 0);
    bool uniform = first.r == first.g && first.g == first.b && (first.r == 45 || first.r == 155 || first.r == 100);
    for (ULONG y = 0; y < h && uniform; ++y)
      for (ULONG x = 0; x < w && uniform; ++x) uniform = c.At(x, y) == first;
    bad_frames += !uniform;
    seen.insert(first.r);
  }
  stop.store(true);
  publisher.join();
  EXPECT_EQ(bad_frames, 0);
  EXPECT_GE(seen.size(), 1u);
}

}  // namespace
