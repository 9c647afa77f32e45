// Full-sensor frame conversion against the references it is judged by: a copy of one output
// frame (the memory bound) and libdc1394's HQLinear demosaic. Single thread.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "color/color_processor.h"
#include "convert/frame_convert.h"
#include "tools/kscam/convert_commands.h"

namespace {

constexpr uint32_t kWidth = 4608;
constexpr uint32_t kHeight = 3288;
constexpr size_t kImageBytes = size_t{kWidth} * kHeight * 4;

const std::vector<uint8_t>& Mosaic() {
  static const std::vector<uint8_t> raw = kscam::MakeRealisticMosaic(kWidth, kHeight, 1);
  return raw;
}

struct Aligned {
  explicit Aligned(size_t size) : data(static_cast<uint8_t*>(std::aligned_alloc(64, size))) {
    std::memset(data, 0, size);
  }
  ~Aligned() { std::free(data); }
  uint8_t* data;
};

enum Case { kColour, kGrey, kColourWb, kColourDot };

void BM_ConvertFrame(benchmark::State& state, Case which, LONG path) {
  const auto& raw = Mosaic();
  Aligned image(kImageBytes);
  ColorProcessor* p = CreateColorProcessor();
  SetFrameSize(p, kWidth, kHeight);
  if (AllocateWorkBuffer(p) != STATUS_SUCCESS) {
    state.SkipWithError("no work buffer");
    DestroyColorProcessor(p);
    return;
  }
  SetConversionPath(p, path);
  p->OutputBuffer = image.data;
  SetColorEnable(p, which == kGrey ? 0 : 1);
  SetActiveDotThreshold(p, which == kColourDot ? 30 : 0);
  for (auto _ : state) {
    if (which == kColourWb) {
      SetWhiteBalance(p, 1);
      SetRedGain(p, 128);
      SetGreenGain(p, 128);
      SetBlueGain(p, 128);
    }
    ConvertFrame(p, raw.data(), 0, kWidth);
    benchmark::DoNotOptimize(image.data);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
  p->OutputBuffer = nullptr;
  DestroyColorProcessor(p);
}

void BM_MemcpyFrame(benchmark::State& state) {
  Aligned from(kImageBytes), to(kImageBytes);
  for (auto _ : state) {
    std::memcpy(to.data, from.data, kImageBytes);
    benchmark::DoNotOptimize(to.data);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
}

void BM_HqLinear(benchmark::State& state) {
  if (!kscam::HqLinearAvailable()) {
    state.SkipWithError("libdc1394 not available");
    return;
  }
  const auto& raw = Mosaic();
  std::vector<uint8_t> rgb(size_t{kWidth} * kHeight * 3);
  for (auto _ : state) {
    kscam::RunHqLinear(raw.data(), kWidth, kHeight, 0, rgb.data());
    benchmark::DoNotOptimize(rgb.data());
  }
}

BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HqLinear)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ConvertFrame, colour, kColour, kConversionAutomatic)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ConvertFrame, grey, kGrey, kConversionAutomatic)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_wb, kColourWb, kConversionAutomatic)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_dot, kColourDot, kConversionAutomatic)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_sse2, kColour, kConversionSse2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_scalar, kColour, kConversionScalar)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
