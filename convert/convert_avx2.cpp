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
  static KSCAM_VECTOR_FN vec Zero() { return _mm256_setzero_si256(); }
  static KSCAM_VECTOR_FN vec Set16(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }
  static KSCAM_VECTOR_FN vec Set32(int v) { return _mm256_set1_epi32(v); }
  static KSCAM_VECTOR_FN vec Even(vec v) { return _mm256_and_si256(v, _mm256_set1_epi16(0x00FF)); }
  static KSCAM_VECTOR_FN vec Odd(vec v) { return _mm256_srli_epi16(v, 8); }
  static KSCAM_VECTOR_FN vec Add(vec a, vec b) { return _mm256_add_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Sub(vec a, vec b) { return _mm256_sub_epi16(a, b); }
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
  static KSCAM_VECTOR_FN vec Madd(vec a, vec b) { return _mm256_madd_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Add32(vec a, vec b) { return _mm256_add_epi32(a, b); }
  static KSCAM_VECTOR_FN vec Sub32(vec a, vec b) { return _mm256_sub_epi32(a, b); }
  template <int n>
  static KSCAM_VECTOR_FN vec Srai32(vec v) { return _mm256_srai_epi32(v, n); }
  static KSCAM_VECTOR_FN vec Packs32(vec a, vec b) { return _mm256_packs_epi32(a, b); }
  static KSCAM_VECTOR_FN bool Any(vec mask) { return _mm256_movemask_epi8(mask) != 0; }
  static KSCAM_VECTOR_FN vec Add64(vec a, vec b) { return _mm256_add_epi64(a, b); }
  static KSCAM_VECTOR_FN vec SumBytes(vec v) { return _mm256_sad_epu8(v, _mm256_setzero_si256()); }
  static KSCAM_VECTOR_FN ULONG64 Total64(vec v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<ULONG64>(_mm_cvtsi128_si64(s)) + static_cast<ULONG64>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
  }

  // Writes 32 pixels. The byte interleaves work within 128-bit halves, so the four results
  // hold pixels [0-3|16-19], [4-7|20-23], [8-11|24-27], [12-15|28-31] and are put in order.
  static KSCAM_VECTOR_FN void StoreBgra(UCHAR* out, vec b, vec g, vec r, ULONG n, bool stream) {
    const __m256i alpha = _mm256_set1_epi8(static_cast<char>(0xFF));
    const __m256i bg_lo = _mm256_unpacklo_epi8(b, g);
    const __m256i bg_hi = _mm256_unpackhi_epi8(b, g);
    const __m256i ra_lo = _mm256_unpacklo_epi8(r, alpha);
    const __m256i ra_hi = _mm256_unpackhi_epi8(r, alpha);
    const __m256i p0 = _mm256_unpacklo_epi16(bg_lo, ra_lo);
    const __m256i p1 = _mm256_unpackhi_epi16(bg_lo, ra_lo);
    const __m256i p2 = _mm256_unpacklo_epi16(bg_hi, ra_hi);
    const __m256i p3 = _mm256_unpackhi_epi16(bg_hi, ra_hi);
    __m256i px[4] = {_mm256_permute2x128_si256(p0, p1, 0x20), _mm256_permute2x128_si256(p2, p3, 0x20),
                     _mm256_permute2x128_si256(p0, p1, 0x31), _mm256_permute2x128_si256(p2, p3, 0x31)};
    __m256i* dst = reinterpret_cast<__m256i*>(out);
    if (n == kPixels) {
      if (stream) {
        // 16-byte streaming stores: pool blocks are only 16-byte aligned.
        __m128i* half = reinterpret_cast<__m128i*>(out);
        for (int i = 0; i < 4; ++i) {
          _mm_stream_si128(half + 2 * i, _mm256_castsi256_si128(px[i]));
          _mm_stream_si128(half + 2 * i + 1, _mm256_extracti128_si256(px[i], 1));
        }
      } else {
        for (int i = 0; i < 4; ++i) _mm256_storeu_si256(dst + i, px[i]);
      }
    } else {
      memcpy(out, px, n * 4);
    }
  }
};

KSCAM_AVX2_ENTRY void CorrectLineAvx2(UCHAR* line, LONG stride, ULONG width, LONG threshold) {
  CorrectLineVector<V256>(line, stride, width, threshold);
}
KSCAM_AVX2_ENTRY void ColorLineAvx2(const PixelSetup& s, ULONG y, UCHAR* out) { ColorLineVector<V256>(s, y, out); }
KSCAM_AVX2_ENTRY void GrayLineAvx2(const PixelSetup& s, ULONG y, UCHAR* out) { GrayLineVector<V256>(s, y, out); }
KSCAM_AVX2_ENTRY void MeasureLineAvx2(const PixelSetup& s, ULONG y, ULONG64 sums[3]) {
  MeasureLineVector<V256>(s, y, sums);
}
void FinishAvx2() { _mm_sfence(); }

constexpr ConversionKernels kAvx2Kernels = {CorrectLineAvx2, ColorLineAvx2, GrayLineAvx2, MeasureLineAvx2, FinishAvx2};

}  // namespace

const ConversionKernels& Avx2Kernels() { return kAvx2Kernels; }
