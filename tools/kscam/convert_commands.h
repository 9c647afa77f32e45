// The tool's conversion commands: `kscam convert` turns a raw Bayer file into an image with
// the driver's own conversion, and `kscam bench convert` measures that conversion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kscam {

// `kscam convert IN.raw --size WxH [--pitch N] [--phase 0..3] [--set NAME=VALUE]... -o OUT`.
// args are the words after "convert". Returns the exit status: 0, 1 (output not written) or
// 2 (usage: bad option, name or number, unreadable or short input, size out of range).
int RunConvertCommand(const std::vector<std::string>& args);

// `kscam bench convert [--runs N] [--size WxH] [--path NAME]`: one JSON object per line for
// the cases colour, grey, colour-wb and colour-dot, each naming the conversion path that ran.
// args are the words after "bench convert".
int RunBenchConvert(const std::vector<std::string>& args);

// The conversion path's name as the tool prints and reads it: automatic, scalar, sse2, avx2,
// avx512.
const char* ConversionPathName(int32_t path);

// The conversion benchmark's measurements, shared by `kscam bench convert` and the Google
// Benchmark target so that both report the same thing: one frame at a time on one thread, in
// processor time of that thread (other work on the machine does not inflate it), each frame
// started with the caches emptied (a new frame arrives from the device into memory, and the
// stream has copied the previous image out since), into output buffers touched beforehand.
// The same realistic mosaic for every measurement. Callers take the median of several runs.
enum class BenchCase { kColour, kGrey, kColourWb, kColourDot };
const char* BenchCaseName(BenchCase c);

class ConvertBench {
 public:
  ConvertBench(uint32_t width, uint32_t height);
  ~ConvertBench();
  ConvertBench(const ConvertBench&) = delete;
  ConvertBench& operator=(const ConvertBench&) = delete;

  // False when a buffer could not be had.
  bool ok() const { return ok_; }
  // Milliseconds for one frame of the case; path is the driver's conversion path (0: the
  // widest the processor offers).
  double TimeCase(BenchCase c, int32_t path = 0);
  // One output frame copied: the memory reference.
  double TimeMemcpy();
  // libdc1394's HQLinear of the same mosaic; negative when the library is not in the build.
  double TimeHqLinear();

 private:
  void EmptyCaches();

  uint32_t width_, height_;
  bool ok_ = false;
  struct State;
  State* state_;
};

// A realistic raw frame in phase 0 (GRBG): a smooth scene, noise of about 2 levels and
// 0.05 % defect pixels.
std::vector<uint8_t> MakeRealisticMosaic(uint32_t width, uint32_t height, uint32_t seed);

// libdc1394's HQLinear demosaic of a phase 0..3 frame into width x height x 3 bytes (RGB).
// False when the library is not part of this build.
bool HqLinearAvailable();
bool RunHqLinear(const uint8_t* raw, uint32_t width, uint32_t height, int phase, uint8_t* rgb);

}  // namespace kscam
