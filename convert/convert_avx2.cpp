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

  static KSCAM_VECTOR_FN vec Load(const UCHAR* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static KSCAM_VECTOR_FN void Store(UCHAR* p, vec v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static KSCAM_VECTOR_FN void StoreStream(UCHAR* p, vec v) {
    if ((reinterpret_cast<ULONG_PTR>(p) & 31) == 0) {
      _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v);
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
  }
  static KSCAM_VECTOR_FN vec Zero() { return _mm256_setzero_si256(); }
  static KSCAM_VECTOR_FN vec Set16(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }
  static KSCAM_VECTOR_FN vec Set32(int v) { return _mm256_set1_epi32(v); }
  static KSCAM_VECTOR_FN vec Set8(int v) { return _mm256_set1_epi8(static_cast<char>(v)); }
  static KSCAM_VECTOR_FN vec Even(vec v) { return _mm256_and_si256(v, _mm256_set1_epi16(0x00FF)); }
  static KSCAM_VECTOR_FN vec Odd(vec v) { return _mm256_srli_epi16(v, 8); }
  static KSCAM_VECTOR_FN vec Add(vec a, vec b) { return _mm256_add_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Sub(vec a, vec b) { return _mm256_sub_epi16(a, b); }
  static KSCAM_VECTOR_FN vec SubSat(vec a, vec b) { return _mm256_subs_epu16(a, b); }
  static KSCAM_VECTOR_FN vec Mullo(vec a, vec b) { return _mm256_mullo_epi16(a, b); }
  static KSCAM_VECTOR_FN vec MulhiU(vec a, vec b) { return _mm256_mulhi_epu16(a, b); }
  static KSCAM_VECTOR_FN vec Max(vec a, vec b) { return _mm256_max_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Min(vec a, vec b) { return _mm256_min_epi16(a, b); }
  static KSCAM_VECTOR_FN vec CmpGt(vec a, vec b) { return _mm256_cmpgt_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Or(vec a, vec b) { return _mm256_or_si256(a, b); }
  template <int n>
  static KSCAM_VECTOR_FN vec Slli(vec v) { return _mm256_slli_epi16(v, n); }
  template <int n>
  static KSCAM_VECTOR_FN vec Srli(vec v) { return _mm256_srli_epi16(v, n); }
  static KSCAM_VECTOR_FN vec UnpackLo8(vec a, vec b) { return _mm256_unpacklo_epi8(a, b); }
  static KSCAM_VECTOR_FN vec UnpackHi8(vec a, vec b) { return _mm256_unpackhi_epi8(a, b); }
  static KSCAM_VECTOR_FN vec UnpackLo16(vec a, vec b) { return _mm256_unpacklo_epi16(a, b); }
  static KSCAM_VECTOR_FN vec UnpackHi16(vec a, vec b) { return _mm256_unpackhi_epi16(a, b); }
  static KSCAM_VECTOR_FN vec UnpackLo32(vec a, vec b) { return _mm256_unpacklo_epi32(a, b); }
  static KSCAM_VECTOR_FN vec UnpackHi32(vec a, vec b) { return _mm256_unpackhi_epi32(a, b); }
  static KSCAM_VECTOR_FN vec Madd(vec a, vec b) { return _mm256_madd_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Add32(vec a, vec b) { return _mm256_add_epi32(a, b); }
  static KSCAM_VECTOR_FN vec Sub32(vec a, vec b) { return _mm256_sub_epi32(a, b); }
  template <int n>
  static KSCAM_VECTOR_FN vec Srai32(vec v) { return _mm256_srai_epi32(v, n); }
  static KSCAM_VECTOR_FN vec Packs32(vec a, vec b) { return _mm256_packs_epi32(a, b); }
  static KSCAM_VECTOR_FN vec PackUs16(vec a, vec b) { return _mm256_packus_epi16(a, b); }
  static KSCAM_VECTOR_FN vec AvgU8(vec a, vec b) { return _mm256_avg_epu8(a, b); }
  static KSCAM_VECTOR_FN vec SubSatU8(vec a, vec b) { return _mm256_subs_epu8(a, b); }
  static KSCAM_VECTOR_FN ULONG NonZeroBytes(vec v) {
    return ~static_cast<ULONG>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
  }
  static KSCAM_VECTOR_FN vec Add64(vec a, vec b) { return _mm256_add_epi64(a, b); }
  static KSCAM_VECTOR_FN vec SumBytes(vec v) { return _mm256_sad_epu8(v, _mm256_setzero_si256()); }
  static KSCAM_VECTOR_FN ULONG64 Total64(vec v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<ULONG64>(_mm_cvtsi128_si64(s)) + static_cast<ULONG64>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
  }

  // Writes n (at most 32) pixels. The interleaves work within 128-bit halves, so the four
  // vectors hold pixels [0-3|16-19], [4-7|20-23], [8-11|24-27], [12-15|28-31].
  static KSCAM_VECTOR_FN void StorePixels(UCHAR* out, vec q0, vec q1, vec q2, vec q3, ULONG n, bool stream) {
    const __m256i p0 = _mm256_permute2x128_si256(q0, q1, 0x20), p1 = _mm256_permute2x128_si256(q2, q3, 0x20);
    const __m256i p2 = _mm256_permute2x128_si256(q0, q1, 0x31), p3 = _mm256_permute2x128_si256(q2, q3, 0x31);
    __m256i* dst = reinterpret_cast<__m256i*>(out);
    if (n == kPixels && stream && (reinterpret_cast<ULONG_PTR>(out) & 31) == 0) {
      _mm256_stream_si256(dst, p0);
      _mm256_stream_si256(dst + 1, p1);
      _mm256_stream_si256(dst + 2, p2);
      _mm256_stream_si256(dst + 3, p3);
    } else if (n == kPixels && stream) {
      // Lines only 16-byte aligned: streaming stores of 16 bytes.
      const __m256i px[4] = {p0, p1, p2, p3};
      __m128i* half = reinterpret_cast<__m128i*>(out);
      for (int i = 0; i < 4; ++i) {
        _mm_stream_si128(half + 2 * i, _mm256_castsi256_si128(px[i]));
        _mm_stream_si128(half + 2 * i + 1, _mm256_extracti128_si256(px[i], 1));
      }
    } else if (n == kPixels) {
      _mm256_storeu_si256(dst, p0);
      _mm256_storeu_si256(dst + 1, p1);
      _mm256_storeu_si256(dst + 2, p2);
      _mm256_storeu_si256(dst + 3, p3);
    } else {
      const __m256i px[4] = {p0, p1, p2, p3};
      memcpy(out, px, n * 4);
    }
  }
};

KSCAM_AVX2_ENTRY void CorrectLineAvx2(UCHAR* line, LONG stride, ULONG width, LONG threshold) {
  CorrectLineVector<V256>(line, stride, width, threshold);
}
KSCAM_AVX2_ENTRY void ColorLineAvx2(const PixelSetup& s, ULONG y, UCHAR* out, const LineCopy& copy,
                                    const UCHAR* kept) {
  ColorLineVector<V256>(s, y, out, copy, kept);
}
KSCAM_AVX2_ENTRY void GrayLineAvx2(const PixelSetup& s, ULONG y, UCHAR* out, const LineCopy& copy, const UCHAR* kept) {
  GrayLineVector<V256>(s, y, out, copy, kept);
}
KSCAM_AVX2_ENTRY void MeasureLineAvx2(const PixelSetup& s, ULONG y, ULONG64 sums[3], const LineCopy& copy,
                                      UCHAR* keep) {
  MeasureLineVector<V256>(s, y, sums, copy, keep);
}
void FinishAvx2() { _mm_sfence(); }

constexpr ConversionKernels kAvx2Kernels = {CorrectLineAvx2, ColorLineAvx2, GrayLineAvx2, MeasureLineAvx2, FinishAvx2};

}  // namespace

const ConversionKernels& Avx2Kernels() { return kAvx2Kernels; }
