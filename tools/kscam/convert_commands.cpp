// `kscam convert` and `kscam bench convert`: the driver's conversion run on files and on a
// synthetic full-sensor frame, outside any stream.
#include "tools/kscam/convert_commands.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <random>
#include <string_view>

#if defined(KSCAM_HAVE_DC1394)
#include <dc1394/conversions.h>
#endif

#include "color/color_processor.h"
#include "convert/frame_convert.h"
#include "tools/kscam/image_files.h"

namespace kscam {
namespace {

constexpr uint32_t kSensorWidth = 4608;
constexpr uint32_t kSensorHeight = 3288;

// ---------------------------------------------------------------------------------------------
// Small helpers

struct ProcessorDeleter {
  void operator()(ColorProcessor* p) const { DestroyColorProcessor(p); }
};
using ProcessorPtr = std::unique_ptr<ColorProcessor, ProcessorDeleter>;

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBytes = std::unique_ptr<uint8_t, FreeDeleter>;

AlignedBytes AllocateAligned(size_t size) {
  return AlignedBytes(static_cast<uint8_t*>(std::aligned_alloc(64, (size + 63) / 64 * 64)));
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Decimal (optionally negative) or 0x hex, fitting 32 bits.
std::optional<int32_t> ParseNumber(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 12) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
  }
  if (negative) {
    if (value > 0x80000000ull) return std::nullopt;
    return static_cast<int32_t>(-static_cast<int64_t>(value));
  }
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

bool ParseSize(std::string_view text, uint32_t* width, uint32_t* height) {
  const size_t x = text.find_first_of("xX");
  if (x == std::string_view::npos) return false;
  const auto w = ParseNumber(text.substr(0, x));
  const auto h = ParseNumber(text.substr(x + 1));
  if (!w || !h || *w <= 0 || *h <= 0) return false;
  *width = static_cast<uint32_t>(*w);
  *height = static_cast<uint32_t>(*h);
  return true;
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "kscam convert: %s\n", message.c_str());
  return 2;
}

// ---------------------------------------------------------------------------------------------
// Colour settings as the property set applies them

struct ColorControls {
  int32_t dot = 0;
  int32_t dot_threshold = 30;
};

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return std::min(std::max(v, lo), hi); }

// Applies one NAME=VALUE; false when the name is unknown.
bool ApplySetting(ColorProcessor* p, ColorControls* controls, const std::string& name, int32_t v) {
  const std::string key = Lower(name);
  if (key == "colorenable") {
    SetColorEnable(p, v);
  } else if (key == "whitebalance") {
    SetWhiteBalance(p, v);
  } else if (key == "redgain") {
    SetRedGain(p, Clamp(v, 0, 512));
  } else if (key == "greengain") {
    SetGreenGain(p, Clamp(v, 0, 512));
  } else if (key == "bluegain") {
    SetBlueGain(p, Clamp(v, 0, 512));
  } else if (key == "colorcorrection") {
    UpdateColorCorrection(p, v);
  } else if (key == "brightness") {
    UpdateBrightness(p, Clamp(v, 0, 510));
  } else if (key == "contrast") {
    UpdateContrast(p, Clamp(v, 0, 20));
  } else if (key == "saturation") {
    UpdateSaturation(p, Clamp(v, 0, 20));
  } else if (key == "hue") {
    UpdateHue(p, Clamp(v, 0, 359));
  } else if (key == "dot") {
    controls->dot = v;
    SetActiveDotThreshold(p, v != 0 ? controls->dot_threshold : 0);
  } else if (key == "dotthreshold") {
    controls->dot_threshold = v;
    if (controls->dot != 0) SetActiveDotThreshold(p, v);
  } else {
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Timing

// Processor time of the calling thread: a single-thread cost that other work on the machine
// does not inflate the way it inflates elapsed time.
double ThreadMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

template <class F>
double TimeMs(F&& work) {
  const double start = ThreadMs();
  work();
  return ThreadMs() - start;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string JsonNumber(std::optional<double> v) {
  if (!v) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", *v);
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Synthetic frames and the reference demosaic

std::vector<uint8_t> MakeRealisticMosaic(uint32_t width, uint32_t height, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> phase(0.0, 6.283185307179586);
  // Each channel: a product of slow waves along x and y plus two gradients, in 0..1.
  struct Channel {
    std::vector<double> ax, by, cx, dy;
  } channels[3];
  for (auto& ch : channels) {
    const double fx = 2.0 + (rng() % 5), fy = 1.5 + (rng() % 4);
    const double px = phase(rng), py = phase(rng);
    ch.ax.resize(width);
    ch.cx.resize(width);
    ch.by.resize(height);
    ch.dy.resize(height);
    for (uint32_t x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) / width;
      ch.ax[x] = 0.25 * std::sin(6.283185307179586 * fx * u + px) + 0.05 * std::sin(40.0 * u + px);
      ch.cx[x] = 0.2 * u;
    }
    for (uint32_t y = 0; y < height; ++y) {
      const double v = static_cast<double>(y) / height;
      ch.by[y] = std::cos(6.283185307179586 * fy * v + py);
      ch.dy[y] = 0.35 + 0.15 * v;
    }
  }
  std::normal_distribution<double> noise(0.0, 2.0);
  std::vector<uint8_t> raw(static_cast<size_t>(width) * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      // Phase 0: even lines G R, odd lines B G.
      const int c = (y % 2 == 0) ? ((x % 2 == 0) ? 1 : 0) : ((x % 2 == 0) ? 2 : 1);
      const Channel& ch = channels[c];
      const double level = 255.0 * (ch.ax[x] * ch.by[y] + ch.cx[x] + ch.dy[y]) + noise(rng);
      raw[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(std::clamp(std::lround(level), 0L, 255L));
    }
  }
  const size_t defects = raw.size() / 2000;  // 0.05 %
  for (size_t i = 0; i < defects; ++i) raw[rng() % raw.size()] = (rng() % 4 == 0) ? 0 : 255;
  return raw;
}

bool HqLinearAvailable() {
#if defined(KSCAM_HAVE_DC1394)
  return true;
#else
  return false;
#endif
}

bool RunHqLinear(const uint8_t* raw, uint32_t width, uint32_t height, int phase, uint8_t* rgb) {
#if defined(KSCAM_HAVE_DC1394)
  static const dc1394color_filter_t kFilters[4] = {DC1394_COLOR_FILTER_GRBG, DC1394_COLOR_FILTER_BGGR,
                                                   DC1394_COLOR_FILTER_RGGB, DC1394_COLOR_FILTER_GBRG};
  return dc1394_bayer_decoding_8bit(raw, rgb, width, height, kFilters[phase & 3], DC1394_BAYER_METHOD_HQLINEAR) ==
         DC1394_SUCCESS;
#else
  (void)raw, (void)width, (void)height, (void)phase, (void)rgb;
  return false;
#endif
}

// ---------------------------------------------------------------------------------------------
// kscam convert

int RunConvertCommand(const std::vector<std::string>& args) {
  std::string input, output;
  uint32_t width = 0, height = 0;
  std::optional<uint32_t> pitch;
  int32_t phase = 0;
  std::vector<std::pair<std::string, int32_t>> settings;
  bool have_size = false;

  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    const bool is_option = arg.size() > 1 && arg[0] == '-';
    if (is_option) {
      const size_t eq = arg.find('=');
      if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
      } else if (arg == "--size" || arg == "--pitch" || arg == "--phase" || arg == "--set" || arg == "-o" ||
                 arg == "--output") {
        if (i + 1 >= args.size()) return Usage("option " + arg + " needs a value");
        value = args[++i];
      }
    }
    if (!is_option) {
      if (!input.empty()) return Usage("more than one input file: " + arg);
      input = arg;
    } else if (arg == "--size") {
      if (!ParseSize(value, &width, &height)) return Usage("malformed size '" + value + "' (expected WxH)");
      have_size = true;
    } else if (arg == "--pitch") {
      const auto n = ParseNumber(value);
      if (!n || *n <= 0) return Usage("malformed pitch '" + value + "'");
      pitch = static_cast<uint32_t>(*n);
    } else if (arg == "--phase") {
      const auto n = ParseNumber(value);
      if (!n || *n < 0 || *n > 3) return Usage("phase must be 0..3, not '" + value + "'");
      phase = *n;
    } else if (arg == "--set") {
      const size_t eq = value.find('=');
      if (eq == std::string::npos) return Usage("--set needs NAME=VALUE, not '" + value + "'");
      const auto n = ParseNumber(std::string_view(value).substr(eq + 1));
      if (!n) return Usage("malformed number in '" + value + "'");
      settings.emplace_back(value.substr(0, eq), *n);
    } else if (arg == "-o" || arg == "--output") {
      output = value;
    } else {
      return Usage("unknown option " + args[i]);
    }
  }
  if (input.empty()) return Usage("no input file");
  if (!have_size) return Usage("--size WxH is required");
  if (output.empty()) return Usage("-o OUT is required");
  if (width < 8 || height < 8 || width > kSensorWidth || height > kSensorHeight)
    return Usage("size must be between 8x8 and 4608x3288");
  const uint32_t line_pitch = pitch.value_or(width);
  if (line_pitch < width) return Usage("pitch is smaller than the width");
  const std::optional<ImageFormat> format = ImageFormatOfPath(output);
  if (!format) return Usage("output must end in .png, .bmp or .bgra: " + output);

  ProcessorPtr processor(CreateColorProcessor());
  if (!processor) {
    std::fprintf(stderr, "kscam convert: out of memory\n");
    return 1;
  }
  ColorControls controls;
  SetBayerPhase(processor.get(), phase);
  for (const auto& [name, value] : settings) {
    if (!ApplySetting(processor.get(), &controls, name, value)) return Usage("unknown setting " + name);
  }

  std::vector<uint8_t> raw;
  std::string read_error;
  if (!ReadWholeFile(input, &raw, &read_error)) return Usage("cannot read " + input + ": " + read_error);
  const uint64_t needed = static_cast<uint64_t>(line_pitch) * (height - 1) + width;
  if (raw.size() < needed) {
    return Usage(input + " holds " + std::to_string(raw.size()) + " bytes, " + std::to_string(needed) +
                 " needed for " + std::to_string(width) + "x" + std::to_string(height));
  }

  SetFrameSize(processor.get(), width, height);
  if (AllocateWorkBuffer(processor.get()) != STATUS_SUCCESS) {
    std::fprintf(stderr, "kscam convert: out of memory\n");
    return 1;
  }
  std::vector<uint8_t> image(static_cast<size_t>(width) * height * 4);
  processor->OutputBuffer = image.data();
  ConvertFrame(processor.get(), raw.data(), 0, line_pitch);
  processor->OutputBuffer = nullptr;

  if (ReadColorValue(&processor->WhiteBalance) != 0) {
    std::printf("white balance gains: red %d green %d blue %d\n", ReadColorValue(&processor->RedGain),
                ReadColorValue(&processor->GreenGain), ReadColorValue(&processor->BlueGain));
  }

  std::string error;
  const bool ok = WriteImage(output, *format, image.data(), width, height, &error);
  if (!ok) {
    std::fprintf(stderr, "kscam convert: cannot write %s: %s\n", output.c_str(), error.c_str());
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// kscam bench convert

const char* BenchCaseName(BenchCase c) {
  switch (c) {
    case BenchCase::kColour: return "colour";
    case BenchCase::kGrey: return "grey";
    case BenchCase::kColourWb: return "colour-wb";
    case BenchCase::kColourDot: return "colour-dot";
  }
  return "?";
}

struct ConvertBench::State {
  std::vector<uint8_t> raw;
  AlignedBytes image, copy, scratch;
  size_t scratch_bytes = 0;
  std::vector<uint8_t> rgb;
  // One processor per case, each set up once as the case needs it.
  ProcessorPtr processors[4];
};

ConvertBench::ConvertBench(uint32_t width, uint32_t height) : width_(width), height_(height), state_(new State) {
  State& st = *state_;
  st.raw = MakeRealisticMosaic(width, height, 1);
  const size_t image_bytes = static_cast<size_t>(width) * height * 4;
  // Twice the largest last-level cache of the machines this runs on.
  st.scratch_bytes = size_t{64} << 20;
  st.image = AllocateAligned(image_bytes);
  st.copy = AllocateAligned(image_bytes);
  st.scratch = AllocateAligned(st.scratch_bytes);
  if (!st.image || !st.copy || !st.scratch) return;
  // Touched beforehand, so no measurement pays for first-touch page faults.
  std::memset(st.image.get(), 0, image_bytes);
  std::memset(st.copy.get(), 1, image_bytes);
  std::memset(st.scratch.get(), 2, st.scratch_bytes);
  if (HqLinearAvailable()) st.rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<BenchCase>(i);
    st.processors[i].reset(CreateColorProcessor());
    ColorProcessor* p = st.processors[i].get();
    if (p == nullptr) return;
    SetFrameSize(p, width, height);
    if (AllocateWorkBuffer(p) != STATUS_SUCCESS) return;
    SetColorEnable(p, c == BenchCase::kGrey ? 0 : 1);
    SetActiveDotThreshold(p, c == BenchCase::kColourDot ? 30 : 0);
  }
  ok_ = true;
}

ConvertBench::~ConvertBench() { delete state_; }

void ConvertBench::EmptyCaches() {
  // Reading a buffer twice the size of the last-level cache pushes everything else out and
  // leaves only clean lines, which the measured work can drop without writing them back.
  State& st = *state_;
  const auto* words = reinterpret_cast<const uint64_t*>(st.scratch.get());
  uint64_t sum = 0;
  for (size_t i = 0; i < st.scratch_bytes / 8; i += 8) sum += words[i];
  asm volatile("" : : "r"(sum) : "memory");
}

double ConvertBench::TimeCase(BenchCase c, int32_t path) {
  State& st = *state_;
  ColorProcessor* p = st.processors[static_cast<int>(c)].get();
  SetConversionPath(p, path);
  if (c == BenchCase::kColourWb) {
    // White balance writes its gains back; start every frame from the same ones.
    SetWhiteBalance(p, 1);
    SetRedGain(p, 128);
    SetGreenGain(p, 128);
    SetBlueGain(p, 128);
  }
  p->OutputBuffer = st.image.get();
  EmptyCaches();
  const double ms = TimeMs([&] { ConvertFrame(p, st.raw.data(), 0, width_); });
  p->OutputBuffer = nullptr;
  return ms;
}

double ConvertBench::TimeMemcpy() {
  State& st = *state_;
  const size_t image_bytes = static_cast<size_t>(width_) * height_ * 4;
  EmptyCaches();
  return TimeMs([&] {
    std::memcpy(st.copy.get(), st.image.get(), image_bytes);
    asm volatile("" : : "r"(st.copy.get()) : "memory");
  });
}

double ConvertBench::TimeHqLinear() {
  State& st = *state_;
  if (!HqLinearAvailable()) return -1.0;
  EmptyCaches();
  return TimeMs([&] { RunHqLinear(st.raw.data(), width_, height_, 0, st.rgb.data()); });
}

const char* ConversionPathName(int32_t path) {
  switch (path) {
    case kConversionScalar: return "scalar";
    case kConversionSse2: return "sse2";
    case kConversionAvx2: return "avx2";
    case kConversionAvx512: return "avx512";
    default: return "automatic";
  }
}

namespace {

bool ParseConversionPath(const std::string& name, int32_t* path) {
  for (int32_t p : {kConversionAutomatic, kConversionScalar, kConversionSse2, kConversionAvx2, kConversionAvx512}) {
    if (name == ConversionPathName(p)) {
      *path = p;
      return true;
    }
  }
  return false;
}

}  // namespace

int RunBenchConvert(const std::vector<std::string>& args) {
  int runs = 9;
  uint32_t width = kSensorWidth, height = kSensorHeight;
  int32_t path = kConversionAutomatic;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--runs" && i + 1 < args.size()) {
      const auto n = ParseNumber(args[++i]);
      if (!n || *n < 1 || *n > 1000) {
        std::fprintf(stderr, "kscam bench convert: --runs must be 1..1000\n");
        return 2;
      }
      runs = *n;
    } else if (args[i] == "--size" && i + 1 < args.size()) {
      if (!ParseSize(args[++i], &width, &height) || width < 8 || height < 8 || width > kSensorWidth ||
          height > kSensorHeight) {
        std::fprintf(stderr, "kscam bench convert: size must be between 8x8 and 4608x3288\n");
        return 2;
      }
    } else if (args[i] == "--path" && i + 1 < args.size()) {
      if (!ParseConversionPath(args[++i], &path)) {
        std::fprintf(stderr, "kscam bench convert: --path must be automatic, scalar, sse2, avx2 or avx512\n");
        return 2;
      }
    } else if (args[i] == "--runs" || args[i] == "--size" || args[i] == "--path") {
      std::fprintf(stderr, "kscam bench convert: option %s needs a value\n", args[i].c_str());
      return 2;
    } else {
      std::fprintf(stderr, "kscam bench convert: unknown option %s\n", args[i].c_str());
      return 2;
    }
  }

  ConvertBench bench(width, height);
  if (!bench.ok()) {
    std::fprintf(stderr, "kscam bench convert: out of memory\n");
    return 1;
  }
  constexpr BenchCase kCases[] = {BenchCase::kColour, BenchCase::kGrey, BenchCase::kColourWb, BenchCase::kColourDot};
  // Rounds of every measurement in turn, so the references and the cases see the same
  // conditions; the first round only warms code and the processors' state.
  std::vector<double> memcpy_ms, hqlinear_ms, case_ms[4];
  for (int round = 0; round <= runs; ++round) {
    const bool keep = round > 0;
    const double copy = bench.TimeMemcpy();
    const double hq = bench.TimeHqLinear();
    if (keep) {
      memcpy_ms.push_back(copy);
      if (hq >= 0) hqlinear_ms.push_back(hq);
    }
    for (int i = 0; i < 4; ++i) {
      const double ms = bench.TimeCase(kCases[i], path);
      if (keep) case_ms[i].push_back(ms);
    }
  }

  const double copy_median = Median(memcpy_ms);
  // What ran: a forced path the processor lacks runs narrower.
  const char* ran = ConversionPathName(ResolveConversionPath(path));
  const std::optional<double> hq = hqlinear_ms.empty() ? std::nullopt : std::optional<double>(Median(hqlinear_ms));
  for (int i = 0; i < 4; ++i) {
    const double ms = Median(case_ms[i]);
    const std::optional<double> ratio_hq = hq ? std::optional<double>(ms / *hq) : std::nullopt;
    std::printf(
        "{\"case\": \"%s\", \"width\": %u, \"height\": %u, \"ms_per_frame\": %s, \"memcpy_ms\": %s, "
        "\"ratio_memcpy\": %s, \"hqlinear_ms\": %s, \"ratio_hqlinear\": %s, \"path\": \"%s\"}\n",
        BenchCaseName(kCases[i]), width, height, JsonNumber(ms).c_str(), JsonNumber(copy_median).c_str(),
        JsonNumber(ms / copy_median).c_str(), JsonNumber(hq).c_str(), JsonNumber(ratio_hq).c_str(), ran);
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace kscam
