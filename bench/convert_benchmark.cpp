// Full-sensor frame conversion against the references it is judged by: a copy of one output
// frame (the memory bound) and libdc1394's HQLinear demosaic. Every iteration is one frame
// measured exactly as `kscam bench convert` measures it (the shared ConvertBench: processor
// time of this thread, caches emptied before the frame, buffers touched beforehand), so the two
// report the same figures; the median over the repetitions is the one to read.
#include <benchmark/benchmark.h>

#include <memory>

#include "color/color_processor.h"
#include "convert/frame_convert.h"
#include "tools/kscam/convert_commands.h"

namespace {

constexpr uint32_t kWidth = 4608;
constexpr uint32_t kHeight = 3288;
constexpr int64_t kImageBytes = int64_t{kWidth} * kHeight * 4;
constexpr int kRepetitions = 9;

kscam::ConvertBench& Bench() {
  static kscam::ConvertBench* bench = new kscam::ConvertBench(kWidth, kHeight);
  return *bench;
}

template <class F>
void Run(benchmark::State& state, F&& one_frame) {
  if (!Bench().ok()) {
    state.SkipWithError("out of memory");
    return;
  }
  one_frame();  // warms code and the processor's state, as the tool's first round does
  for (auto _ : state) state.SetIterationTime(one_frame() / 1e3);
  state.SetBytesProcessed(state.iterations() * kImageBytes);
}

void BM_MemcpyFrame(benchmark::State& state) {
  Run(state, [] { return Bench().TimeMemcpy(); });
}

void BM_HqLinear(benchmark::State& state) {
  if (!kscam::HqLinearAvailable()) {
    state.SkipWithError("libdc1394 not available");
    return;
  }
  Run(state, [] { return Bench().TimeHqLinear(); });
}

void BM_ConvertFrame(benchmark::State& state, kscam::BenchCase which, LONG path) {
  Run(state, [which, path] { return Bench().TimeCase(which, path); });
  // The path that ran (a forced one the processor lacks runs narrower).
  state.SetLabel(kscam::ConversionPathName(ResolveConversionPath(path)));
}

// One frame per repetition, nine repetitions: the median is the figure.
void FrameSettings(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(kRepetitions)->ReportAggregatesOnly();
}

BENCHMARK(BM_MemcpyFrame)->Apply(FrameSettings);
BENCHMARK(BM_HqLinear)->Apply(FrameSettings);
BENCHMARK_CAPTURE(BM_ConvertFrame, colour, kscam::BenchCase::kColour, kConversionAutomatic)->Apply(FrameSettings);
BENCHMARK_CAPTURE(BM_ConvertFrame, grey, kscam::BenchCase::kGrey, kConversionAutomatic)->Apply(FrameSettings);
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_wb, kscam::BenchCase::kColourWb, kConversionAutomatic)->Apply(FrameSettings);
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_dot, kscam::BenchCase::kColourDot, kConversionAutomatic)
    ->Apply(FrameSettings);
// Each path, for comparison.
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_avx512, kscam::BenchCase::kColour, kConversionAvx512)->Apply(FrameSettings);
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_avx2, kscam::BenchCase::kColour, kConversionAvx2)->Apply(FrameSettings);
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_sse2, kscam::BenchCase::kColour, kConversionSse2)->Apply(FrameSettings);
BENCHMARK_CAPTURE(BM_ConvertFrame, colour_scalar, kscam::BenchCase::kColour, kConversionScalar)->Apply(FrameSettings);

}  // namespace

BENCHMARK_MAIN();
