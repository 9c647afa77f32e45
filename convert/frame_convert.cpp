// Frame conversion entry: the work buffer and its margins, the per-frame snapshots, and the
// line loop that runs the defect-pixel pass and the demosaic together in a rolling band, so
// each work-buffer line is still in cache when the interpolation reads it.
#include "convert/frame_convert.h"

#include "convert/convert_kernels.h"
#include "driver/pool_tags.h"

namespace {

// What automatic runs where the processor has it (narrower where it has not). AVX-512 also
// where the processor splits each 512-bit operation in two: a frame takes fewer instructions
// and measures about an eighth faster than with AVX2 on such a processor.
constexpr LONG kPreferredVectorPath = kConversionAvx512;

// The implementation chosen for one piece of work, with the extended processor state saved
// around it when the implementation needs one.
class KernelScope {
 public:
  explicit KernelScope(const ColorProcessor* processor) {
    LONG path = ResolveConversionPath(processor->ConversionPath);
    if (path == kConversionAvx512) {
      if (NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX | XSTATE_MASK_AVX512, &save_))) {
        saved_ = true;
        kernels_ = &Avx512Kernels();
        return;
      }
      path = kConversionAvx2;
    }
    if (path == kConversionAvx2) {
      if (NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save_))) {
        saved_ = true;
        kernels_ = &Avx2Kernels();
        return;
      }
      path = kConversionSse2;
    }
    kernels_ = (path == kConversionScalar) ? &ScalarKernels() : &Sse2Kernels();
  }
  ~KernelScope() {
    if (saved_) KeRestoreExtendedProcessorState(&save_);
  }
  KernelScope(const KernelScope&) = delete;
  KernelScope& operator=(const KernelScope&) = delete;

  const ConversionKernels& kernels() const { return *kernels_; }

 private:
  const ConversionKernels* kernels_ = nullptr;
  XSTATE_SAVE save_ = {};
  bool saved_ = false;
};

inline USHORT Magnitude16(LONG value) {
  const ULONG magnitude = value < 0 ? 0u - static_cast<ULONG>(value) : static_cast<ULONG>(value);
  return static_cast<USHORT>(magnitude & 0xFFFF);
}

// The per-frame constants from the processor's snapshots and work geometry.
void BuildSetup(const ColorProcessor* processor, LONG phase, PixelSetup* setup) {
  setup->origin = processor->RawOrigin;
  setup->stride = processor->WorkStride;
  setup->width = processor->WorkWidth;
  setup->height = processor->WorkHeight;
  switch (phase) {
    case 0: setup->row_shift = 0; setup->col_shift = 0; break;
    case 1: setup->row_shift = 1; setup->col_shift = 0; break;
    case 2: setup->row_shift = 0; setup->col_shift = 1; break;
    default: setup->row_shift = 1; setup->col_shift = 1; break;
  }
  for (int i = 0; i < 3; ++i) setup->gain[i] = static_cast<USHORT>(processor->GainSnapshot[i] & 0xFFFF);

  bool fits16 = true;
  bool weights_fit_signed = true;
  for (int j = 0; j < 3; ++j) {
    ULONG positive_bound = 0;
    ULONG negative_bound = 0;
    for (int i = 0; i < 4; ++i) {
      const int k = 4 * i + j;
      const USHORT magnitude = Magnitude16(processor->MatrixSnapshot[k]);
      const UCHAR sign = processor->SignTable[k];
      setup->positive[i][j] = sign == 1 ? magnitude : 0;
      setup->negative[i][j] = sign == 0 ? magnitude : 0;
      const ULONG scale = (i < 3) ? 255u : 1u;
      positive_bound += scale * setup->positive[i][j];
      negative_bound += scale * setup->negative[i][j];
      if (i < 3 && magnitude > 32767) weights_fit_signed = false;
    }
    if (positive_bound > 65535 || negative_bound > 65535) fits16 = false;
  }
  setup->matrix_width = fits16 ? 0 : (weights_fit_signed ? 1 : 2);

  const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(processor->OutputCursor);
  setup->stream_output = (address % 16) == 0 && (static_cast<ULONG64>(setup->width) * 4) % 16 == 0;
}

inline UCHAR* WorkLine(const ColorProcessor* processor, LONG y) {
  return processor->RawOrigin + static_cast<LONG_PTR>(y) * processor->WorkStride;
}

inline UCHAR* OutputLine(const ColorProcessor* processor, ULONG y) {
  return processor->OutputCursor + static_cast<ULONG_PTR>(y) * processor->WorkWidth * 4;
}

// Where the measurement of a white-balanced frame keeps line y's interpolation for the output
// pass: the second half of the output image, 2 bytes a pixel. The output pass writes line y
// over kept lines 2y - h + 1 and earlier only (and within the last line, over columns it has
// passed), so every kept line is read before it is overwritten.
inline UCHAR* KeepLine(const ColorProcessor* processor, ULONG y) {
  const ULONG_PTR w = processor->WorkWidth;
  return processor->OutputCursor + 2 * w * processor->WorkHeight + 2 * w * y;
}

bool CorrectionRuns(const ColorProcessor* processor, LONG threshold) {
  // A difference never exceeds 255, so a higher threshold can replace nothing.
  return threshold > 0 && threshold <= 255 && processor->WorkWidth > 4 && processor->WorkHeight > 4;
}

// Wide colour-matrix sums beyond what the vector form handles go to the reference.
auto ColorLineFor(const ConversionKernels& kernels, const PixelSetup& setup) {
  return setup.matrix_width == 2 ? ScalarKernels().color_line : kernels.color_line;
}

// Sums the interpolated channels of the whole frame; false when green sums to 0 (a black
// frame), which leaves the gains as they were. With a loader, lines are loaded just ahead of
// the lines measured.
template <class Loader>
bool MeasureWith(const ConversionKernels& kernels, ColorProcessor* processor, LONG phase, Loader* loader, bool keep,
                 LONG* red, LONG* green, LONG* blue) {
  PixelSetup setup;
  BuildSetup(processor, phase, &setup);
  ULONG64 sums[3] = {0, 0, 0};
  // Line y reads lines y - 2 .. y + 2; the copy of line y + 3 goes along with it.
  if (loader != nullptr) loader->LoadThrough(2);
  for (ULONG y = 0; y < setup.height; ++y) {
    const LineCopy copy = loader != nullptr ? loader->Next(y + 3) : LineCopy{nullptr, nullptr, 0};
    kernels.measure_line(setup, y, sums, copy, keep ? KeepLine(processor, y) : nullptr);
    if (copy.bytes != 0) loader->Finish();
  }
  // The channel sums are 32-bit; a full frame stays below 2^32.
  const double sr = static_cast<double>(static_cast<ULONG>(sums[0]));
  const double sg = static_cast<double>(static_cast<ULONG>(sums[1]));
  const double sb = static_cast<double>(static_cast<ULONG>(sums[2]));
  if (sg == 0.0) return false;
  const double s = sg + sr + sb;
  const double g = (s / sg) / 3.0;
  // Gains stay within 0..512, the gain range of the whole system; a channel that is black in
  // the whole frame gets the largest.
  auto gain = [s, g](double sum) -> LONG {
    if (sum == 0.0) return 512;
    const double value = ((s / sum) / 3.0) * 128.0 / g;
    return value >= 512.0 ? 512 : static_cast<LONG>(value);
  };
  *red = gain(sr);
  *green = 128;
  *blue = gain(sb);
  return true;
}

struct NoLoader {
  void LoadThrough(ULONG) {}
  LineCopy Next(ULONG) const { return LineCopy{nullptr, nullptr, 0}; }
  void Finish() {}
};

void DemosaicWith(ColorProcessor* processor, LONG phase, bool color) {
  if (processor->RawOrigin == nullptr || processor->OutputCursor == nullptr) return;
  KernelScope scope(processor);
  PixelSetup setup;
  BuildSetup(processor, phase, &setup);
  const auto line = color ? ColorLineFor(scope.kernels(), setup) : scope.kernels().gray_line;
  const LineCopy none = {nullptr, nullptr, 0};
  for (ULONG y = 0; y < setup.height; ++y) line(setup, y, OutputLine(processor, y), none, nullptr);
  scope.kernels().finish();
}

void MeasurePublic(ColorProcessor* processor, LONG phase, LONG* red, LONG* green, LONG* blue) {
  if (processor->RawOrigin == nullptr) return;
  KernelScope scope(processor);
  MeasureWith(scope.kernels(), processor, phase, static_cast<NoLoader*>(nullptr), false, red, green, blue);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Geometry and the work buffer

void SetFrameSize(ColorProcessor* processor, ULONG width, ULONG height) {
  processor->FrameWidth = width;
  processor->FrameHeight = height;
  const ULONG64 stride = ((static_cast<ULONG64>(width) + 16) & ~static_cast<ULONG64>(15)) + 11;
  const ULONG64 size = (static_cast<ULONG64>(height) + (height & 1) + 4) * stride;
  if (size > 0xFFFFFFFFull) {
    // No frame this large exists; a size that wraps would under-allocate the buffer.
    processor->PaddedStride = 0;
    processor->PaddedSize = 0;
    return;
  }
  processor->PaddedStride = static_cast<ULONG>(stride);
  processor->PaddedSize = static_cast<ULONG>(size);
}

void ReleaseWorkBuffer(ColorProcessor* processor) {
  if (processor->PaddedBuffer != nullptr) {
    ExFreePoolWithTag(processor->PaddedBuffer, kStreamPoolTag);
    processor->PaddedBuffer = nullptr;
  }
  processor->RawOrigin = nullptr;
}

NTSTATUS AllocateWorkBuffer(ColorProcessor* processor) {
  ReleaseWorkBuffer(processor);
  processor->WorkStride = static_cast<LONG>(processor->PaddedStride);
  processor->WorkWidth = processor->FrameWidth;
  processor->WorkHeight = processor->FrameHeight;
  if (processor->PaddedSize == 0) return STATUS_INSUFFICIENT_RESOURCES;
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, processor->PaddedSize, kStreamPoolTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // The slack after each line is read (never used) by whole-group loads: keep it defined.
  RtlZeroMemory(buffer, processor->PaddedSize);
  processor->PaddedBuffer = buffer;
  processor->RawOrigin = buffer + 2 * static_cast<ULONG_PTR>(processor->PaddedStride) + 5;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Loading a raw frame

namespace {

// Copies raw lines into the work buffer on demand, so the frame loop can load a few lines
// ahead of the lines it works on while they are still in cache; the line kernels can also
// take the copy of one line along with their own work (Next, then Finish). Each line gets its
// margin columns as it arrives; the margin lines follow once their source lines are in.
// Margins always hold the samples as loaded, before any defect-pixel correction.
class FrameLoader {
 public:
  FrameLoader(ColorProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch)
      : raw_(raw + offset),
        pitch_(pitch),
        width_(processor->FrameWidth),
        height_(processor->FrameHeight),
        stride_(processor->PaddedStride),
        origin_(processor->PaddedBuffer + 2 * static_cast<ULONG_PTR>(processor->PaddedStride) + 5),
        margins_(processor->FrameWidth >= 8 && processor->FrameHeight >= 8) {}

  // Loads every line up to and including last (clipped to the frame).
  void LoadThrough(ULONG last) {
    for (LineCopy copy = Next(last); copy.bytes != 0; copy = Next(last)) {
      memcpy(copy.to, copy.from, copy.bytes);
      Finish();
    }
  }
  void LoadAll() { LoadThrough(height_ - 1); }

  // The copy of the next line if it is not past last; nothing once the frame is in. Finish
  // must follow once the copy is done.
  LineCopy Next(ULONG last) const {
    if (loaded_ >= height_ || loaded_ > last || width_ == 0) return LineCopy{nullptr, nullptr, 0};
    return LineCopy{raw_ + static_cast<ULONG_PTR>(loaded_) * pitch_, Line(static_cast<LONG>(loaded_)), width_};
  }

  void Finish() {
    UCHAR* dst = Line(static_cast<LONG>(loaded_));
    if (margins_) {
      // Reflect around the edge columns without repeating them.
      dst[-1] = dst[1];
      dst[-2] = dst[2];
      dst[width_] = dst[width_ - 2];
      dst[width_ + 1] = dst[width_ - 3];
      // Margin lines keep the mosaic's parity: the top reflects around line 0, the bottom
      // repeats lines h - 4 and h - 3. Copying from column -2 brings the margin columns along.
      if (loaded_ == 2) {
        CopyLine(-2, 2);
        CopyLine(-1, 1);
      }
      if (loaded_ == height_ - 1) {
        CopyLine(static_cast<LONG>(height_), static_cast<LONG>(height_) - 4);
        CopyLine(static_cast<LONG>(height_) + 1, static_cast<LONG>(height_) - 3);
      }
    }
    ++loaded_;
  }

 private:
  UCHAR* Line(LONG y) const { return origin_ + static_cast<LONG_PTR>(y) * static_cast<LONG_PTR>(stride_); }
  void CopyLine(LONG to, LONG from) { memcpy(Line(to) - 2, Line(from) - 2, width_ + 4); }

  const UCHAR* raw_;
  ULONG pitch_;
  ULONG width_;
  ULONG height_;
  ULONG stride_;
  UCHAR* origin_;
  bool margins_;
  ULONG loaded_ = 0;
};

}  // namespace

void LoadRawFrame(ColorProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch) {
  if (processor->PaddedBuffer == nullptr || raw == nullptr || processor->FrameHeight == 0) return;
  FrameLoader loader(processor, raw, offset, pitch);
  loader.LoadAll();
}

// ---------------------------------------------------------------------------------------------
// Full-frame steps

void CorrectHotPixels(ColorProcessor* processor) {
  if (processor->RawOrigin == nullptr) return;
  const LONG threshold = processor->ThresholdSnapshot;
  if (!CorrectionRuns(processor, threshold)) return;
  KernelScope scope(processor);
  for (ULONG y = 2; y + 2 < processor->WorkHeight; ++y)
    scope.kernels().correct_line(WorkLine(processor, static_cast<LONG>(y)), processor->WorkStride,
                                 processor->WorkWidth, threshold);
}

void DemosaicColor(ColorProcessor* processor, LONG phase) { DemosaicWith(processor, phase, true); }
void DemosaicGray(ColorProcessor* processor, LONG phase) { DemosaicWith(processor, phase, false); }
void MeasureWhiteBalance(ColorProcessor* processor, LONG phase, LONG* red, LONG* green, LONG* blue) {
  MeasurePublic(processor, phase, red, green, blue);
}

void DemosaicColorGRBG(ColorProcessor* processor) { DemosaicColor(processor, 0); }
void DemosaicColorBGGR(ColorProcessor* processor) { DemosaicColor(processor, 1); }
void DemosaicColorRGGB(ColorProcessor* processor) { DemosaicColor(processor, 2); }
void DemosaicColorGBRG(ColorProcessor* processor) { DemosaicColor(processor, 3); }
void DemosaicGrayGRBG(ColorProcessor* processor) { DemosaicGray(processor, 0); }
void DemosaicGrayBGGR(ColorProcessor* processor) { DemosaicGray(processor, 1); }
void DemosaicGrayRGGB(ColorProcessor* processor) { DemosaicGray(processor, 2); }
void DemosaicGrayGBRG(ColorProcessor* processor) { DemosaicGray(processor, 3); }
void MeasureWhiteBalanceGRBG(ColorProcessor* processor, LONG* red, LONG* green, LONG* blue) {
  MeasureWhiteBalance(processor, 0, red, green, blue);
}
void MeasureWhiteBalanceBGGR(ColorProcessor* processor, LONG* red, LONG* green, LONG* blue) {
  MeasureWhiteBalance(processor, 1, red, green, blue);
}
void MeasureWhiteBalanceRGGB(ColorProcessor* processor, LONG* red, LONG* green, LONG* blue) {
  MeasureWhiteBalance(processor, 2, red, green, blue);
}
void MeasureWhiteBalanceGBRG(ColorProcessor* processor, LONG* red, LONG* green, LONG* blue) {
  MeasureWhiteBalance(processor, 3, red, green, blue);
}

// ---------------------------------------------------------------------------------------------
// One frame

void ConvertFrame(ColorProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch) {
  if (processor->OutputBuffer == nullptr || raw == nullptr || processor->PaddedBuffer == nullptr) return;
  // The frame size and the work buffer agree only after AllocateWorkBuffer; converting in
  // between would write past the buffer.
  if (processor->FrameWidth != processor->WorkWidth || processor->FrameHeight != processor->WorkHeight ||
      static_cast<LONG>(processor->PaddedStride) != processor->WorkStride) {
    return;
  }

  // Loading runs a few lines ahead of the line loops below instead of as a pass of its own.
  FrameLoader loader(processor, raw, offset, pitch);
  processor->OutputCursor = processor->OutputBuffer;

  // One phase, one set of gains, one threshold and one matrix for the whole frame.
  processor->GainSnapshot[0] = ReadAcquire(&processor->RedGain);
  processor->GainSnapshot[1] = ReadAcquire(&processor->GreenGain);
  processor->GainSnapshot[2] = ReadAcquire(&processor->BlueGain);
  const LONG phase = ReadAcquire(&processor->BayerPhase);
  const LONG white_balance = ReadAcquire(&processor->WhiteBalance);
  processor->ThresholdSnapshot = ReadAcquire(&processor->ActiveDotThreshold);

  KernelScope scope(processor);
  const ConversionKernels& kernels = scope.kernels();

  const LONG threshold = processor->ThresholdSnapshot;
  const bool correct = CorrectionRuns(processor, threshold);
  // Without the defect pass the output pass can take the measurement's interpolation.
  const bool keep = white_balance != 0 && !correct;

  if (white_balance != 0) {
    // Measured on the frame as loaded, before the defect pass.
    LONG gains[3];
    if (MeasureWith(kernels, processor, phase, &loader, keep, &gains[0], &gains[1], &gains[2])) {
      for (int i = 0; i < 3; ++i) processor->GainSnapshot[i] = gains[i];
      InterlockedExchange(&processor->RedGain, gains[0]);
      InterlockedExchange(&processor->GreenGain, gains[1]);
      InterlockedExchange(&processor->BlueGain, gains[2]);
    }
  }

  CopyPublishedMatrix(processor, processor->MatrixSnapshot);
  for (int k = 0; k < 16; ++k) processor->SignTable[k] = processor->MatrixSnapshot[k] > 0 ? 1 : 0;

  const bool color = ReadAcquire(&processor->ColorEnable) != 0;

  PixelSetup setup;
  BuildSetup(processor, phase, &setup);
  const auto line = color ? ColorLineFor(kernels, setup) : kernels.gray_line;
  const ULONG h = setup.height;
  // Line y reads lines y - 2 .. y + 2, so the defect pass must have reached line y + 2,
  // which reads line y + 4. Loading one line further completes the bottom margin lines
  // before the pass reaches their source lines h - 4 and h - 3. So lines through y + 5 are
  // in when line y starts, and the copy of line y + 6 goes along with it.
  loader.LoadThrough(5);
  for (ULONG y = 0; y < h; ++y) {
    const LineCopy copy = loader.Next(y + 6);
    if (correct && y + 5 <= h) kernels.correct_line(WorkLine(processor, static_cast<LONG>(y + 2)), setup.stride,
                                                    setup.width, threshold);
    line(setup, y, OutputLine(processor, y), copy, keep ? KeepLine(processor, y) : nullptr);
    if (copy.bytes != 0) loader.Finish();
  }
  kernels.finish();
}

// ---------------------------------------------------------------------------------------------
// Implementation choice

void SetConversionPath(ColorProcessor* processor, LONG path) { processor->ConversionPath = path; }

namespace {

// The platform reports only the AVX-512 foundation; the kernels also use the byte/word and
// vector-length extensions, which the processor reports in leaf 7 of cpuid (a leaf every
// processor with the foundation has).
bool Avx512ExtensionsPresent() {
  int info[4] = {};
  KscamCpuIdEx(7, 0, info);
  constexpr ULONG kBw = 1u << 30;
  constexpr ULONG kVl = 1u << 31;
  const ULONG ebx = static_cast<ULONG>(info[1]);
  return (ebx & (kBw | kVl)) == (kBw | kVl);
}

}  // namespace

bool ConversionPathAvailable(LONG path) {
  switch (path) {
    case kConversionScalar:
    case kConversionSse2:
    case kConversionAutomatic:
      return true;
    case kConversionAvx2:
      return ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) != FALSE;
    case kConversionAvx512:
      return ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) != FALSE &&
             ExIsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE) != FALSE && Avx512ExtensionsPresent();
    default:
      return false;
  }
}

LONG ResolveConversionPath(LONG path) {
  if (path == kConversionAutomatic) path = kPreferredVectorPath;
  if (path == kConversionAvx512 && !ConversionPathAvailable(kConversionAvx512)) path = kConversionAvx2;
  if (path == kConversionAvx2 && !ConversionPathAvailable(kConversionAvx2)) path = kConversionSse2;
  if (path != kConversionScalar && path != kConversionAvx2 && path != kConversionAvx512) path = kConversionSse2;
  return path;
}
