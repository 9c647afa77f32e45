// The SSE2 implementation of the per-pixel work: 16 pixels per step. SSE2 is part of every
// x64 processor, so this needs no extended-state save.
#include <emmintrin.h>

#include "convert/convert_kernels.h"

#define KSCAM_VECTOR_FN inline __attribute__((always_inline))

namespace {

#include "convert/convert_vector.h"

void CorrectLineSse2(UCHAR* line, LONG stride, ULONG width, LONG threshold) {
  CorrectLineVector<V128>(line, stride, width, threshold);
}
void ColorLineSse2(const PixelSetup& s, ULONG y, UCHAR* out, const LineCopy& copy, const UCHAR* kept) {
  OutputLineVector<V128, true>(s, y, out, copy, kept);
}
void GrayLineSse2(const PixelSetup& s, ULONG y, UCHAR* out, const LineCopy& copy, const UCHAR* kept) {
  OutputLineVector<V128, false>(s, y, out, copy, kept);
}
void MeasureLineSse2(const PixelSetup& s, ULONG y, ULONG64 sums[3], const LineCopy& copy, UCHAR* keep) {
  MeasureLineVector<V128>(s, y, sums, copy, keep);
}
void FinishSse2() { _mm_sfence(); }

constexpr ConversionKernels kSse2Kernels = {CorrectLineSse2, ColorLineSse2, GrayLineSse2, MeasureLineSse2, FinishSse2};

}  // namespace

const ConversionKernels& Sse2Kernels() { return kSse2Kernels; }
