// Helpers for the conversion tests: a processor with its work buffer and output, and frames.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "color/color_processor.h"
#include "convert/frame_convert.h"

namespace convert_test {

struct ProcessorDeleter {
  void operator()(ColorProcessor* p) const { DestroyColorProcessor(p); }
};
using ProcessorPtr = std::unique_ptr<ColorProcessor, ProcessorDeleter>;

struct Bgra {
  uint8_t b, g, r, a;
  bool operator==(const Bgra&) const = default;
};

// A processor set up the way the stream start sets it up, with an output buffer that has a
// guard band after the image.
class Converter {
 public:
  static constexpr size_t kGuard = 256;
  static constexpr uint8_t kGuardByte = 0xA5;

  // The output starts misalign bytes after a 64-byte boundary (aligned output takes the
  // non-temporal stores).
  Converter(ULONG width, ULONG height, size_t misalign = 0)
      : width_(width), height_(height), processor_(CreateColorProcessor()) {
    SetFrameSize(processor_.get(), width, height);
    status_ = AllocateWorkBuffer(processor_.get());
    storage_.assign(static_cast<size_t>(width) * height * 4 + kGuard + 64 + misalign, kGuardByte);
    auto address = reinterpret_cast<uintptr_t>(storage_.data());
    output_ = storage_.data() + ((64 - address % 64) % 64) + misalign;
    processor_->OutputBuffer = output_;
  }

  ColorProcessor* get() const { return processor_.get(); }
  NTSTATUS status() const { return status_; }
  ULONG width() const { return width_; }
  ULONG height() const { return height_; }
  uint8_t* output() const { return output_; }
  size_t output_size() const { return static_cast<size_t>(width_) * height_ * 4; }

  void Convert(const std::vector<uint8_t>& raw, ULONG pitch = 0) {
    ConvertFrame(processor_.get(), raw.data(), 0, pitch ? pitch : width_);
  }

  Bgra At(ULONG x, ULONG y) const {
    const uint8_t* p = output_ + (static_cast<size_t>(y) * width_ + x) * 4;
    return Bgra{p[0], p[1], p[2], p[3]};
  }
  // Work-buffer sample, margins included (x and y may be -2 .. size + 1).
  uint8_t& Work(long x, long y) const { return processor_->RawOrigin[y * processor_->WorkStride + x]; }

  bool GuardIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (output_[output_size() + i] != kGuardByte) return false;
    return true;
  }
  std::vector<uint8_t> Image() const { return std::vector<uint8_t>(output_, output_ + output_size()); }

 private:
  ULONG width_, height_;
  ProcessorPtr processor_;
  NTSTATUS status_ = STATUS_UNSUCCESSFUL;
  std::vector<uint8_t> storage_;
  uint8_t* output_ = nullptr;
};

inline std::vector<uint8_t> Flat(ULONG width, ULONG height, uint8_t value) {
  return std::vector<uint8_t>(static_cast<size_t>(width) * height, value);
}

// The colour matrix off the conversion's way: correction off, every other stage neutral.
inline void IdentityMatrix(ColorProcessor* p) { UpdateColorCorrection(p, 0); }

// The instruction sets this machine can run, scalar first.
inline std::vector<LONG> AvailablePaths() {
  std::vector<LONG> paths = {kConversionScalar, kConversionSse2};
  if (ConversionPathAvailable(kConversionAvx2)) paths.push_back(kConversionAvx2);
  if (ConversionPathAvailable(kConversionAvx512)) paths.push_back(kConversionAvx512);
  return paths;
}

inline const char* PathName(LONG path) {
  switch (path) {
    case kConversionScalar: return "scalar";
    case kConversionSse2: return "sse2";
    case kConversionAvx2: return "avx2";
    case kConversionAvx512: return "avx512";
    default: return "automatic";
  }
}

}  // namespace convert_test
