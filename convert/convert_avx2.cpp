// The AVX2 implementation of the per-pixel work: 32 pixels per step, 16 at the end of a line.
// Runs only between KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState, on
// processors that report AVX2 (the frame-level code sees to both).
#include <immintrin.h>

#include "convert/convert_kernels.h"

#define KSCAM_VECTOR_FN inline __attribute__((always_inline, target("avx2")))
#define KSCAM_AVX2_ENTRY __attribute__((target("avx2")))

namespace {

#include "convert/convert_vector.h"

struct V256 {
  typedef __m256i vec;
  static constexpr ULONG kPixels = 32;

  KSCAM_LANE_OPERATIONS(_mm256, si256)

  static KSCAM_VECTOR_FN vec CmpGt(vec a, vec b) { return _mm256_cmpgt_epi16(a, b); }
  static KSCAM_VECTOR_FN ULONG NonZeroBytes(vec v) {
    return ~static_cast<ULONG>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
  }
  static KSCAM_VECTOR_FN void StoreStream(UCHAR* p, vec v) {
    if ((reinterpret_cast<ULONG_PTR>(p) & 31) == 0) {
      _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v);
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
  }
  static KSCAM_VECTOR_FN ULONG64 Total64(vec v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<ULONG64>(_mm_cvtsi128_si64(s)) + static_cast<ULONG64>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
  }

  // Writes n (at most 32) pixels. The interleaves work within 128-bit halves, so the four
  // vectors hold pixels [0-3|16-19], [4-7|20-23], [8-11|24-27], [12-15|28-31].
  static KSCAM_VECTOR_FN void StorePixels(UCHAR* out, vec q0, vec q1, vec q2, vec q3, ULONG n, bool stream) {
    const __m256i p0 = _mm256_permute2x128_si256(q0, q1, 0x20), p1 = _mm256_permute2x128_si256(q2, q3, 0x20);
    const __m256i p2 = _mm256_permute2x128_si256(q0, q1, 0x31), p3 = _mm256_permute2x128_si256(q2, q3, 0x31);
    if (n < kPixels) {
      const __m256i part[4] = {p0, p1, p2, p3};
      memcpy(out, part, n * 4);
    } else if (stream && (reinterpret_cast<ULONG_PTR>(out) & 31) == 0) {
      StreamStore(out, p0, p1, p2, p3);
    } else if (stream) {
      // Lines only 16-byte aligned: streaming stores of 16 bytes.
      V128::StorePixels(out, _mm256_castsi256_si128(p0), _mm256_extracti128_si256(p0, 1), _mm256_castsi256_si128(p1),
                        _mm256_extracti128_si256(p1, 1), V128::kPixels, true);
      V128::StorePixels(out + 64, _mm256_castsi256_si128(p2), _mm256_extracti128_si256(p2, 1),
                        _mm256_castsi256_si128(p3), _mm256_extracti128_si256(p3, 1), V128::kPixels, true);
    } else {
      Store(out, p0);
      Store(out + 32, p1);
      Store(out + 64, p2);
      Store(out + 96, p3);
    }
  }
  static KSCAM_VECTOR_FN void StreamStore(UCHAR* out, vec p0, vec p1, vec p2, vec p3) {
    __m256i* dst = reinterpret_cast<__m256i*>(out);
    _mm256_stream_si256(dst, p0);
    _mm256_stream_si256(dst + 1, p1);
    _mm256_stream_si256(dst + 2, p2);
    _mm256_stream_si256(dst + 3, p3);
  }
};

KSCAM_AVX2_ENTRY void CorrectLineAvx2(UCHAR* line, LONG stride, ULONG width, LONG threshold) {
  CorrectLineVector<V256>(line, stride, width, threshold);
}
KSCAM_AVX2_ENTRY void ColorLineAvx2(const PixelSetup& s, ULONG y, UCHAR* out, const LineCopy& copy,
                                    const UCHAR* kept) {
  OutputLineVector<V256, true>(s, y, out, copy, kept);
}
KSCAM_AVX2_ENTRY void GrayLineAvx2(const PixelSetup& s, ULONG y, UCHAR* out, const LineCopy& copy, const UCHAR* kept) {
  OutputLineVector<V256, false>(s, y, out, copy, kept);
}
KSCAM_AVX2_ENTRY void MeasureLineAvx2(const PixelSetup& s, ULONG y, ULONG64 sums[3], const LineCopy& copy,
                                      UCHAR* keep) {
  MeasureLineVector<V256>(s, y, sums, copy, keep);
}
void FinishAvx2() { _mm_sfence(); }

constexpr ConversionKernels kAvx2Kernels = {CorrectLineAvx2, ColorLineAvx2, GrayLineAvx2, MeasureLineAvx2, FinishAvx2};

}  // namespace

const ConversionKernels& Avx2Kernels() { return kAvx2Kernels; }
