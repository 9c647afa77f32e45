// The AVX-512 implementation of the per-pixel work (foundation, byte/word and vector-length
// extensions): 64 pixels per step, 16 at the end of a line. Runs only between
// KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState with the AVX-512 state
// included, on processors that report all three extensions (the frame-level code sees to both).
#include <immintrin.h>

#include "convert/convert_kernels.h"

// GCC 12's AVX-512 intrinsics start many results from a deliberately undefined register and
// then warn that it may be used uninitialised (fixed in GCC 13). Nothing here reads one.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define KSCAM_VECTOR_FN inline __attribute__((always_inline, target("avx2,avx512f,avx512bw,avx512vl")))
#define KSCAM_AVX512_ENTRY __attribute__((target("avx2,avx512f,avx512bw,avx512vl")))

namespace {

#include "convert/convert_vector.h"

struct V512 {
  typedef __m512i vec;
  static constexpr ULONG kPixels = 64;

  KSCAM_LANE_OPERATIONS(_mm512, si512)

  // Comparisons give mask registers here; the shared code wants lanes of all ones.
  static KSCAM_VECTOR_FN vec CmpGt(vec a, vec b) { return _mm512_movm_epi16(_mm512_cmpgt_epi16_mask(a, b)); }
  static KSCAM_VECTOR_FN ULONG64 NonZeroBytes(vec v) { return _mm512_test_epi8_mask(v, v); }
  static KSCAM_VECTOR_FN void StoreStream(UCHAR* p, vec v) {
    if ((reinterpret_cast<ULONG_PTR>(p) & 63) == 0) {
      _mm512_stream_si512(reinterpret_cast<__m512i*>(p), v);
    } else {
      _mm512_storeu_si512(reinterpret_cast<__m512i*>(p), v);
    }
  }
  static KSCAM_VECTOR_FN ULONG64 Total64(vec v) { return static_cast<ULONG64>(_mm512_reduce_add_epi64(v)); }

  // Writes n (at most 64) pixels. The interleaves work within 128-bit quarters, so the four
  // vectors hold pixels [0-3|16-19|32-35|48-51], [4-7|20-23|..], [8-11|..], [12-15|..]: a
  // 4 x 4 transpose of quarters puts them in order.
  static KSCAM_VECTOR_FN void StorePixels(UCHAR* out, vec q0, vec q1, vec q2, vec q3, ULONG n, bool stream) {
    const __m512i t0 = _mm512_shuffle_i64x2(q0, q1, 0x44), t1 = _mm512_shuffle_i64x2(q2, q3, 0x44);
    const __m512i t2 = _mm512_shuffle_i64x2(q0, q1, 0xEE), t3 = _mm512_shuffle_i64x2(q2, q3, 0xEE);
    const __m512i p0 = _mm512_shuffle_i64x2(t0, t1, 0x88), p1 = _mm512_shuffle_i64x2(t0, t1, 0xDD);
    const __m512i p2 = _mm512_shuffle_i64x2(t2, t3, 0x88), p3 = _mm512_shuffle_i64x2(t2, t3, 0xDD);
    if (n < kPixels) {
      const __m512i part[4] = {p0, p1, p2, p3};
      memcpy(out, part, n * 4);
    } else if (stream && (reinterpret_cast<ULONG_PTR>(out) & 63) == 0) {
      __m512i* dst = reinterpret_cast<__m512i*>(out);
      _mm512_stream_si512(dst, p0);
      _mm512_stream_si512(dst + 1, p1);
      _mm512_stream_si512(dst + 2, p2);
      _mm512_stream_si512(dst + 3, p3);
    } else if (stream) {
      // Lines only 16-byte aligned: streaming stores of 16 bytes.
      StreamQuarters(out, p0);
      StreamQuarters(out + 64, p1);
      StreamQuarters(out + 128, p2);
      StreamQuarters(out + 192, p3);
    } else {
      Store(out, p0);
      Store(out + 64, p1);
      Store(out + 128, p2);
      Store(out + 192, p3);
    }
  }
  static KSCAM_VECTOR_FN void StreamQuarters(UCHAR* out, vec v) {
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    _mm_stream_si128(dst, _mm512_castsi512_si128(v));
    _mm_stream_si128(dst + 1, _mm512_extracti32x4_epi32(v, 1));
    _mm_stream_si128(dst + 2, _mm512_extracti32x4_epi32(v, 2));
    _mm_stream_si128(dst + 3, _mm512_extracti32x4_epi32(v, 3));
  }
};

KSCAM_AVX512_ENTRY void CorrectLineAvx512(UCHAR* line, LONG stride, ULONG width, LONG threshold) {
  CorrectLineVector<V512>(line, stride, width, threshold);
}
KSCAM_AVX512_ENTRY void ColorLineAvx512(const PixelSetup& s, ULONG y, UCHAR* out, const LineCopy& copy,
                                        const UCHAR* kept) {
  OutputLineVector<V512, true>(s, y, out, copy, kept);
}
KSCAM_AVX512_ENTRY void GrayLineAvx512(const PixelSetup& s, ULONG y, UCHAR* out, const LineCopy& copy,
                                       const UCHAR* kept) {
  OutputLineVector<V512, false>(s, y, out, copy, kept);
}
KSCAM_AVX512_ENTRY void MeasureLineAvx512(const PixelSetup& s, ULONG y, ULONG64 sums[3], const LineCopy& copy,
                                          UCHAR* keep) {
  MeasureLineVector<V512>(s, y, sums, copy, keep);
}
void FinishAvx512() { _mm_sfence(); }

constexpr ConversionKernels kAvx512Kernels = {CorrectLineAvx512, ColorLineAvx512, GrayLineAvx512, MeasureLineAvx512,
                                              FinishAvx512};

}  // namespace

const ConversionKernels& Avx512Kernels() { return kAvx512Kernels; }
