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

// `kscam bench convert [--runs N] [--size WxH]`: one JSON object per line for the cases
// colour, grey, colour-wb and colour-dot. args are the words after "bench convert".
int RunBenchConvert(const std::vector<std::string>& args);

// A realistic raw frame in phase 0 (GRBG): a smooth scene, noise of about 2 levels and
// 0.05 % defect pixels.
std::vector<uint8_t> MakeRealisticMosaic(uint32_t width, uint32_t height, uint32_t seed);

// libdc1394's HQLinear demosaic of a phase 0..3 frame into width x height x 3 bytes (RGB).
// False when the library is not part of this build.
bool HqLinearAvailable();
bool RunHqLinear(const uint8_t* raw, uint32_t width, uint32_t height, int phase, uint8_t* rgb);

}  // namespace kscam
