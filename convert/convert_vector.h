// The vector form of the per-pixel work, written once over a small set of lane operations and
// instantiated for each instruction set. Include only from an implementation file, inside an
// unnamed namespace, after the intrinsics headers and with KSCAM_VECTOR_FN defined (the
// function attributes of that instruction set), so each instruction set gets its own copy.
//
// A group is 16 (or 32) consecutive pixels of one line. Each byte load is split into 16-bit
// lanes: the even-column pixels and the odd-column pixels, which makes every neighbour a lane
// of one of three loads per line (offsets -2, 0, +2). All arithmetic fits 16-bit lanes except
// the exact colour-matrix sums, which use 32-bit lanes when 16 bits could overflow.
#pragma once

// ---------------------------------------------------------------------------------------------
// 128-bit lanes (SSE2; VEX-encoded when included by a wider instruction set's file)

struct V128 {
  typedef __m128i vec;
  static constexpr ULONG kPixels = 16;

  static KSCAM_VECTOR_FN vec Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static KSCAM_VECTOR_FN vec Zero() { return _mm_setzero_si128(); }
  static KSCAM_VECTOR_FN vec Set16(int v) { return _mm_set1_epi16(static_cast<short>(v)); }
  static KSCAM_VECTOR_FN vec Set32(int v) { return _mm_set1_epi32(v); }
  static KSCAM_VECTOR_FN vec Even(vec v) { return _mm_and_si128(v, _mm_set1_epi16(0x00FF)); }
  static KSCAM_VECTOR_FN vec Odd(vec v) { return _mm_srli_epi16(v, 8); }
  static KSCAM_VECTOR_FN vec Add(vec a, vec b) { return _mm_add_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Sub(vec a, vec b) { return _mm_sub_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Mullo(vec a, vec b) { return _mm_mullo_epi16(a, b); }
  static KSCAM_VECTOR_FN vec MulhiU(vec a, vec b) { return _mm_mulhi_epu16(a, b); }
  static KSCAM_VECTOR_FN vec Max(vec a, vec b) { return _mm_max_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Min(vec a, vec b) { return _mm_min_epi16(a, b); }
  static KSCAM_VECTOR_FN vec CmpGt(vec a, vec b) { return _mm_cmpgt_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Or(vec a, vec b) { return _mm_or_si128(a, b); }
  template <int n>
  static KSCAM_VECTOR_FN vec Slli(vec v) { return _mm_slli_epi16(v, n); }
  template <int n>
  static KSCAM_VECTOR_FN vec Srli(vec v) { return _mm_srli_epi16(v, n); }
  static KSCAM_VECTOR_FN vec UnpackLo8(vec a, vec b) { return _mm_unpacklo_epi8(a, b); }
  static KSCAM_VECTOR_FN vec UnpackHi8(vec a, vec b) { return _mm_unpackhi_epi8(a, b); }
  static KSCAM_VECTOR_FN vec UnpackLo16(vec a, vec b) { return _mm_unpacklo_epi16(a, b); }
  static KSCAM_VECTOR_FN vec UnpackHi16(vec a, vec b) { return _mm_unpackhi_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Madd(vec a, vec b) { return _mm_madd_epi16(a, b); }
  static KSCAM_VECTOR_FN vec Add32(vec a, vec b) { return _mm_add_epi32(a, b); }
  static KSCAM_VECTOR_FN vec Sub32(vec a, vec b) { return _mm_sub_epi32(a, b); }
  template <int n>
  static KSCAM_VECTOR_FN vec Srai32(vec v) { return _mm_srai_epi32(v, n); }
  static KSCAM_VECTOR_FN vec Packs32(vec a, vec b) { return _mm_packs_epi32(a, b); }
  static KSCAM_VECTOR_FN bool Any(vec mask) { return _mm_movemask_epi8(mask) != 0; }
  static KSCAM_VECTOR_FN vec Add64(vec a, vec b) { return _mm_add_epi64(a, b); }
  static KSCAM_VECTOR_FN vec SumBytes(vec v) { return _mm_sad_epu8(v, _mm_setzero_si128()); }
  static KSCAM_VECTOR_FN ULONG64 Total64(vec v) {
    return static_cast<ULONG64>(_mm_cvtsi128_si64(v)) +
           static_cast<ULONG64>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
  }
  // Bytes 0 .. n-1 kept, the rest cleared.
  static KSCAM_VECTOR_FN vec KeepFirst(vec v, ULONG n) {
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_and_si128(v, _mm_cmplt_epi8(index, _mm_set1_epi8(static_cast<char>(n))));
  }

  // Writes n (at most 16) pixels b, g, r, 255 from three vectors of 16 bytes in pixel order.
  static KSCAM_VECTOR_FN void StoreBgra(UCHAR* out, vec b, vec g, vec r, ULONG n, bool stream) {
    const __m128i alpha = _mm_set1_epi8(static_cast<char>(0xFF));
    const __m128i bg_lo = _mm_unpacklo_epi8(b, g);
    const __m128i bg_hi = _mm_unpackhi_epi8(b, g);
    const __m128i ra_lo = _mm_unpacklo_epi8(r, alpha);
    const __m128i ra_hi = _mm_unpackhi_epi8(r, alpha);
    __m128i px[4] = {_mm_unpacklo_epi16(bg_lo, ra_lo), _mm_unpackhi_epi16(bg_lo, ra_lo),
                     _mm_unpacklo_epi16(bg_hi, ra_hi), _mm_unpackhi_epi16(bg_hi, ra_hi)};
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    if (n == kPixels) {
      if (stream) {
        for (int i = 0; i < 4; ++i) _mm_stream_si128(dst + i, px[i]);
      } else {
        for (int i = 0; i < 4; ++i) _mm_storeu_si128(dst + i, px[i]);
      }
    } else {
      memcpy(out, px, n * 4);
    }
  }
};

// ---------------------------------------------------------------------------------------------
// Per-frame constants broadcast into lanes

template <class V>
struct Weights {
  typedef typename V::vec vec;
  vec gain[3];
  // 16-bit form: per output channel, the three input weights and the constant.
  vec positive[4][3];
  vec negative[4][3];
  // 32-bit form: (red, green) weight pairs, (blue, 0) pairs and the constants.
  vec positive_rg[3], positive_b[3], positive_c[3];
  vec negative_rg[3], negative_b[3], negative_c[3];
  LONG matrix_width;
  // Every gain is 128: a gain of 1 changes nothing, so the step is skipped.
  bool unity_gains;
};

template <class V>
KSCAM_VECTOR_FN void PrepareWeights(const PixelSetup& s, Weights<V>& w) {
  for (int i = 0; i < 3; ++i) w.gain[i] = V::Set16(s.gain[i]);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) {
      w.positive[i][j] = V::Set16(s.positive[i][j]);
      w.negative[i][j] = V::Set16(s.negative[i][j]);
    }
  }
  for (int j = 0; j < 3; ++j) {
    w.positive_rg[j] = V::Set32(static_cast<int>(s.positive[0][j] | (static_cast<ULONG>(s.positive[1][j]) << 16)));
    w.positive_b[j] = V::Set32(s.positive[2][j]);
    w.positive_c[j] = V::Set32(s.positive[3][j]);
    w.negative_rg[j] = V::Set32(static_cast<int>(s.negative[0][j] | (static_cast<ULONG>(s.negative[1][j]) << 16)));
    w.negative_b[j] = V::Set32(s.negative[2][j]);
    w.negative_c[j] = V::Set32(s.negative[3][j]);
  }
  w.matrix_width = s.matrix_width;
  w.unity_gains = s.gain[0] == 128 && s.gain[1] == 128 && s.gain[2] == 128;
}

// ---------------------------------------------------------------------------------------------
// Interpolation of one group

template <class V>
struct GroupRgb {
  typedef typename V::vec vec;
  // [0]: even-column pixels, [1]: odd-column pixels; values 0 .. 255 in 16-bit lanes.
  vec r[2], g[2], b[2];
};

// An estimate from its weighted sum: min(255, (max(t, 0) + round) >> shift).
template <class V, int round, int shift>
KSCAM_VECTOR_FN typename V::vec Clamp8(typename V::vec t) {
  t = V::Max(t, V::Zero());
  t = V::Add(t, V::Set16(round));
  t = V::template Srli<shift>(t);
  return V::Min(t, V::Set16(255));
}

// p is the work-buffer sample of the group's first pixel; green_parity is the column parity
// of the line's green samples, red_line whether its other samples are red.
template <class V, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void InterpolateGroup(const UCHAR* p, LONG stride, GroupRgb<V>& out) {
  typedef typename V::vec vec;
  const vec a = V::Load(p - 2), b = V::Load(p), c = V::Load(p + 2);
  const vec am = V::Load(p - stride - 2), bm = V::Load(p - stride), cm = V::Load(p - stride + 2);
  const vec ap = V::Load(p + stride - 2), bp = V::Load(p + stride), cp = V::Load(p + stride + 2);
  const vec b2m = V::Load(p - 2 * stride), b2p = V::Load(p + 2 * stride);

  const vec ea = V::Even(a), oa = V::Odd(a), eb = V::Even(b), ob = V::Odd(b), ec = V::Even(c), oc = V::Odd(c);
  const vec ebm = V::Even(bm), obm = V::Odd(bm), ebp = V::Even(bp), obp = V::Odd(bp);

  vec center[2], h1[2], h2[2], v1[2], v2[2], d[2];
  center[0] = eb;
  h1[0] = V::Add(oa, ob);
  h2[0] = V::Add(ea, ec);
  v1[0] = V::Add(ebm, ebp);
  v2[0] = V::Add(V::Even(b2m), V::Even(b2p));
  d[0] = V::Add(V::Add(V::Odd(am), obm), V::Add(V::Odd(ap), obp));
  center[1] = ob;
  h1[1] = V::Add(eb, ec);
  h2[1] = V::Add(oa, oc);
  v1[1] = V::Add(obm, obp);
  v2[1] = V::Add(V::Odd(b2m), V::Odd(b2p));
  d[1] = V::Add(V::Add(ebm, V::Even(cm)), V::Add(ebp, V::Even(cp)));

  constexpr ULONG gp = green_parity;
  constexpr ULONG op = 1 - green_parity;

  // Green sites: the row and column neighbours' colours.
  const vec ten = V::Mullo(center[gp], V::Set16(10));
  const vec row = Clamp8<V, 8, 4>(
      V::Add(V::Sub(V::Add(ten, V::template Slli<3>(h1[gp])), V::template Slli<1>(V::Add(h2[gp], d[gp]))), v2[gp]));
  const vec column = Clamp8<V, 8, 4>(
      V::Add(V::Sub(V::Add(ten, V::template Slli<3>(v1[gp])), V::template Slli<1>(V::Add(v2[gp], d[gp]))), h2[gp]));
  // Red or blue sites: green and the opposite colour.
  const vec outer = V::Add(h2[op], v2[op]);
  const vec green = Clamp8<V, 4, 3>(
      V::Sub(V::Add(V::template Slli<2>(center[op]), V::template Slli<1>(V::Add(h1[op], v1[op]))), outer));
  const vec opposite = Clamp8<V, 8, 4>(
      V::Sub(V::Add(V::Mullo(center[op], V::Set16(12)), V::template Slli<2>(d[op])), V::Mullo(outer, V::Set16(3))));

  out.g[gp] = center[gp];
  out.g[op] = green;
  if (red_line) {
    out.r[gp] = row;
    out.b[gp] = column;
    out.r[op] = center[op];
    out.b[op] = opposite;
  } else {
    out.r[gp] = column;
    out.b[gp] = row;
    out.r[op] = opposite;
    out.b[op] = center[op];
  }
}

template <class V>
KSCAM_VECTOR_FN typename V::vec ApplyGain(typename V::vec v, typename V::vec gain) {
  typedef typename V::vec vec;
  const vec scaled = V::template Srli<7>(V::Mullo(v, gain));
  // A non-zero high half means the product reached 65536: saturate.
  const vec overflow = V::CmpGt(V::MulhiU(v, gain), V::Zero());
  return V::Min(V::Or(scaled, V::template Srli<1>(overflow)), V::Set16(255));
}

template <class V>
KSCAM_VECTOR_FN typename V::vec Combine(typename V::vec even, typename V::vec odd) {
  return V::Or(even, V::template Slli<8>(odd));
}

// One output channel from gained inputs, for the lanes of one column parity.
template <class V>
KSCAM_VECTOR_FN typename V::vec MatrixChannel(const Weights<V>& w, int j, typename V::vec r, typename V::vec g,
                                              typename V::vec b) {
  typedef typename V::vec vec;
  vec result;
  if (w.matrix_width == 0) {
    // Every sum stays below 65536: exact in 16-bit lanes.
    const vec pos = V::Add(V::Add(V::Mullo(r, w.positive[0][j]), V::Mullo(g, w.positive[1][j])),
                           V::Add(V::Mullo(b, w.positive[2][j]), w.positive[3][j]));
    const vec neg = V::Add(V::Add(V::Mullo(r, w.negative[0][j]), V::Mullo(g, w.negative[1][j])),
                           V::Add(V::Mullo(b, w.negative[2][j]), w.negative[3][j]));
    result = V::Sub(V::template Srli<6>(pos), V::template Srli<6>(neg));
  } else {
    const vec zero = V::Zero();
    const vec rg_lo = V::UnpackLo16(r, g), rg_hi = V::UnpackHi16(r, g);
    const vec b_lo = V::UnpackLo16(b, zero), b_hi = V::UnpackHi16(b, zero);
    const vec pos_lo = V::Add32(V::Add32(V::Madd(rg_lo, w.positive_rg[j]), V::Madd(b_lo, w.positive_b[j])),
                                w.positive_c[j]);
    const vec pos_hi = V::Add32(V::Add32(V::Madd(rg_hi, w.positive_rg[j]), V::Madd(b_hi, w.positive_b[j])),
                                w.positive_c[j]);
    const vec neg_lo = V::Add32(V::Add32(V::Madd(rg_lo, w.negative_rg[j]), V::Madd(b_lo, w.negative_b[j])),
                                w.negative_c[j]);
    const vec neg_hi = V::Add32(V::Add32(V::Madd(rg_hi, w.negative_rg[j]), V::Madd(b_hi, w.negative_b[j])),
                                w.negative_c[j]);
    const vec lo = V::Sub32(V::template Srai32<6>(pos_lo), V::template Srai32<6>(neg_lo));
    const vec hi = V::Sub32(V::template Srai32<6>(pos_hi), V::template Srai32<6>(neg_hi));
    result = V::Packs32(lo, hi);
  }
  return V::Min(V::Max(result, V::Zero()), V::Set16(255));
}

template <class V, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void ColorGroup(const Weights<V>& w, const UCHAR* p, LONG stride, UCHAR* out, ULONG n, bool stream) {
  typedef typename V::vec vec;
  GroupRgb<V> px;
  InterpolateGroup<V, green_parity, red_line>(p, stride, px);
  if (!w.unity_gains) {
    for (int q = 0; q < 2; ++q) {
      px.r[q] = ApplyGain<V>(px.r[q], w.gain[0]);
      px.g[q] = ApplyGain<V>(px.g[q], w.gain[1]);
      px.b[q] = ApplyGain<V>(px.b[q], w.gain[2]);
    }
  }
  // One output channel at a time, both column parities, so few values are live at once.
  vec bytes[3];
  for (int j = 0; j < 3; ++j) {
    const vec even = MatrixChannel<V>(w, j, px.r[0], px.g[0], px.b[0]);
    const vec odd = MatrixChannel<V>(w, j, px.r[1], px.g[1], px.b[1]);
    bytes[j] = Combine<V>(even, odd);
  }
  V::StoreBgra(out, bytes[2], bytes[1], bytes[0], n, stream);
}

template <class V, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void GrayGroup(const Weights<V>& w, const UCHAR* p, LONG stride, UCHAR* out, ULONG n, bool stream) {
  typedef typename V::vec vec;
  GroupRgb<V> px;
  InterpolateGroup<V, green_parity, red_line>(p, stride, px);
  vec luma[2];
  for (int q = 0; q < 2; ++q) {
    vec r = px.r[q], g = px.g[q], b = px.b[q];
    if (!w.unity_gains) {
      r = ApplyGain<V>(r, w.gain[0]);
      g = ApplyGain<V>(g, w.gain[1]);
      b = ApplyGain<V>(b, w.gain[2]);
    }
    luma[q] = V::Add(V::Add(V::template Srli<8>(V::Mullo(r, V::Set16(77))),
                            V::template Srli<8>(V::Mullo(g, V::Set16(150)))),
                     V::template Srli<8>(V::Mullo(b, V::Set16(29))));
  }
  const vec y = Combine<V>(luma[0], luma[1]);
  V::StoreBgra(out, y, y, y, n, stream);
}

// Adds the group's red, green and blue bytes into 64-bit lane sums (only full groups).
template <class V, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void MeasureGroup(const UCHAR* p, LONG stride, typename V::vec sums[3]) {
  GroupRgb<V> px;
  InterpolateGroup<V, green_parity, red_line>(p, stride, px);
  sums[0] = V::Add64(sums[0], V::SumBytes(Combine<V>(px.r[0], px.r[1])));
  sums[1] = V::Add64(sums[1], V::SumBytes(Combine<V>(px.g[0], px.g[1])));
  sums[2] = V::Add64(sums[2], V::SumBytes(Combine<V>(px.b[0], px.b[1])));
}

// The last, partial group of a line: only n pixels count.
template <ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void MeasureTail128(const UCHAR* p, LONG stride, ULONG n, __m128i sums[3]) {
  GroupRgb<V128> px;
  InterpolateGroup<V128, green_parity, red_line>(p, stride, px);
  sums[0] = V128::Add64(sums[0], V128::SumBytes(V128::KeepFirst(Combine<V128>(px.r[0], px.r[1]), n)));
  sums[1] = V128::Add64(sums[1], V128::SumBytes(V128::KeepFirst(Combine<V128>(px.g[0], px.g[1]), n)));
  sums[2] = V128::Add64(sums[2], V128::SumBytes(V128::KeepFirst(Combine<V128>(px.b[0], px.b[1]), n)));
}

// ---------------------------------------------------------------------------------------------
// Defect-pixel pass

// True when some pixel of the group, judged with the neighbours as they are now, would be
// replaced. When none would be, none changes, so the judgement was exact.
template <class V>
KSCAM_VECTOR_FN bool GroupHasDefect(const UCHAR* p, LONG stride, typename V::vec limit) {
  typedef typename V::vec vec;
  const vec zero = V::Zero();
  const vec c = V::Load(p), l = V::Load(p - 2), r = V::Load(p + 2);
  const vec u = V::Load(p - 2 * stride), d = V::Load(p + 2 * stride);
  const vec a_lo = V::template Srli<2>(
      V::Add(V::Add(V::UnpackLo8(l, zero), V::UnpackLo8(r, zero)), V::Add(V::UnpackLo8(u, zero), V::UnpackLo8(d, zero))));
  const vec a_hi = V::template Srli<2>(
      V::Add(V::Add(V::UnpackHi8(l, zero), V::UnpackHi8(r, zero)), V::Add(V::UnpackHi8(u, zero), V::UnpackHi8(d, zero))));
  const vec diff_lo = V::Sub(V::UnpackLo8(c, zero), a_lo);
  const vec diff_hi = V::Sub(V::UnpackHi8(c, zero), a_hi);
  const vec abs_lo = V::Max(diff_lo, V::Sub(zero, diff_lo));
  const vec abs_hi = V::Max(diff_hi, V::Sub(zero, diff_hi));
  return V::Any(V::Or(V::CmpGt(abs_lo, limit), V::CmpGt(abs_hi, limit)));
}

KSCAM_VECTOR_FN void CorrectRun(UCHAR* line, LONG stride, ULONG x, ULONG end, LONG threshold) {
  const UCHAR* up = line - 2 * stride;
  const UCHAR* down = line + 2 * stride;
  for (; x < end; ++x) {
    const LONG a = (line[x - 2] + line[x + 2] + up[x] + down[x]) >> 2;
    LONG d = line[x] - a;
    if (d < 0) d = -d;
    if (d >= threshold) line[x] = static_cast<UCHAR>(a);
  }
}

// ---------------------------------------------------------------------------------------------
// Line runs: groups of the widest vector while whole groups fit, then 16-pixel groups.

template <class Wide, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void ColorRun(const Weights<Wide>& wide, const Weights<V128>& narrow, const UCHAR* p, LONG stride,
                              ULONG width, UCHAR* out, bool stream) {
  ULONG x = 0;
  for (; x + Wide::kPixels <= width; x += Wide::kPixels)
    ColorGroup<Wide, green_parity, red_line>(wide, p + x, stride, out + 4 * x, Wide::kPixels, stream);
  for (; x < width; x += V128::kPixels) {
    const ULONG n = (width - x < V128::kPixels) ? width - x : V128::kPixels;
    ColorGroup<V128, green_parity, red_line>(narrow, p + x, stride, out + 4 * x, n, stream);
  }
}

template <class Wide, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void GrayRun(const Weights<Wide>& wide, const Weights<V128>& narrow, const UCHAR* p, LONG stride,
                             ULONG width, UCHAR* out, bool stream) {
  ULONG x = 0;
  for (; x + Wide::kPixels <= width; x += Wide::kPixels)
    GrayGroup<Wide, green_parity, red_line>(wide, p + x, stride, out + 4 * x, Wide::kPixels, stream);
  for (; x < width; x += V128::kPixels) {
    const ULONG n = (width - x < V128::kPixels) ? width - x : V128::kPixels;
    GrayGroup<V128, green_parity, red_line>(narrow, p + x, stride, out + 4 * x, n, stream);
  }
}

template <class Wide, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void MeasureRun(const UCHAR* p, LONG stride, ULONG width, ULONG64 totals[3]) {
  typename Wide::vec wide_sums[3] = {Wide::Zero(), Wide::Zero(), Wide::Zero()};
  __m128i narrow_sums[3] = {V128::Zero(), V128::Zero(), V128::Zero()};
  ULONG x = 0;
  for (; x + Wide::kPixels <= width; x += Wide::kPixels)
    MeasureGroup<Wide, green_parity, red_line>(p + x, stride, wide_sums);
  for (; x + V128::kPixels <= width; x += V128::kPixels)
    MeasureGroup<V128, green_parity, red_line>(p + x, stride, narrow_sums);
  if (x < width) MeasureTail128<green_parity, red_line>(p + x, stride, width - x, narrow_sums);
  for (int i = 0; i < 3; ++i) totals[i] += Wide::Total64(wide_sums[i]) + V128::Total64(narrow_sums[i]);
}

// The line's green column parity and whether its other samples are red, in phase-0 terms.
KSCAM_VECTOR_FN ULONG LineKind(const PixelSetup& s, ULONG y) {
  const ULONG red_line = ((y + s.row_shift) & 1) == 0 ? 1u : 0u;
  const ULONG green_parity = (red_line ? 0u : 1u) ^ s.col_shift;
  return green_parity * 2 + red_line;
}

template <class Wide>
KSCAM_VECTOR_FN void ColorLineVector(const PixelSetup& s, ULONG y, UCHAR* out) {
  Weights<Wide> wide;
  Weights<V128> narrow;
  PrepareWeights<Wide>(s, wide);
  PrepareWeights<V128>(s, narrow);
  const UCHAR* p = s.origin + static_cast<LONG_PTR>(y) * s.stride;
  switch (LineKind(s, y)) {
    case 0: ColorRun<Wide, 0, false>(wide, narrow, p, s.stride, s.width, out, s.stream_output); break;
    case 1: ColorRun<Wide, 0, true>(wide, narrow, p, s.stride, s.width, out, s.stream_output); break;
    case 2: ColorRun<Wide, 1, false>(wide, narrow, p, s.stride, s.width, out, s.stream_output); break;
    default: ColorRun<Wide, 1, true>(wide, narrow, p, s.stride, s.width, out, s.stream_output); break;
  }
}

template <class Wide>
KSCAM_VECTOR_FN void GrayLineVector(const PixelSetup& s, ULONG y, UCHAR* out) {
  Weights<Wide> wide;
  Weights<V128> narrow;
  PrepareWeights<Wide>(s, wide);
  PrepareWeights<V128>(s, narrow);
  const UCHAR* p = s.origin + static_cast<LONG_PTR>(y) * s.stride;
  switch (LineKind(s, y)) {
    case 0: GrayRun<Wide, 0, false>(wide, narrow, p, s.stride, s.width, out, s.stream_output); break;
    case 1: GrayRun<Wide, 0, true>(wide, narrow, p, s.stride, s.width, out, s.stream_output); break;
    case 2: GrayRun<Wide, 1, false>(wide, narrow, p, s.stride, s.width, out, s.stream_output); break;
    default: GrayRun<Wide, 1, true>(wide, narrow, p, s.stride, s.width, out, s.stream_output); break;
  }
}

template <class Wide>
KSCAM_VECTOR_FN void MeasureLineVector(const PixelSetup& s, ULONG y, ULONG64 sums[3]) {
  const UCHAR* p = s.origin + static_cast<LONG_PTR>(y) * s.stride;
  switch (LineKind(s, y)) {
    case 0: MeasureRun<Wide, 0, false>(p, s.stride, s.width, sums); break;
    case 1: MeasureRun<Wide, 0, true>(p, s.stride, s.width, sums); break;
    case 2: MeasureRun<Wide, 1, false>(p, s.stride, s.width, sums); break;
    default: MeasureRun<Wide, 1, true>(p, s.stride, s.width, sums); break;
  }
}

template <class Wide>
KSCAM_VECTOR_FN void CorrectLineVector(UCHAR* line, LONG stride, ULONG width, LONG threshold) {
  if (width < 5) return;
  const ULONG end = width - 2;  // columns 2 .. width - 3
  const typename Wide::vec wide_limit = Wide::Set16(threshold - 1);
  const __m128i narrow_limit = V128::Set16(threshold - 1);
  ULONG x = 2;
  for (; x + Wide::kPixels <= end; x += Wide::kPixels) {
    if (GroupHasDefect<Wide>(line + x, stride, wide_limit)) CorrectRun(line, stride, x, x + Wide::kPixels, threshold);
  }
  for (; x < end; x += V128::kPixels) {
    const ULONG stop = (end - x < V128::kPixels) ? end : x + V128::kPixels;
    if (GroupHasDefect<V128>(line + x, stride, narrow_limit)) CorrectRun(line, stride, x, stop, threshold);
  }
}
