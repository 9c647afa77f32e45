// The vector form of the per-pixel work, written once over a small set of lane operations and
// instantiated for each instruction set. Include only from an implementation file, inside an
// unnamed namespace, after the intrinsics headers and with KSCAM_VECTOR_FN defined (the
// function attributes of that instruction set), so each instruction set gets its own copy.
//
// A group is 16, 32 or 64 consecutive pixels of one line. Each byte load is split into 16-bit
// lanes: the even-column pixels and the odd-column pixels, which makes every neighbour a lane
// of one of three loads per line (offsets -2, 0, +2). All arithmetic fits 16-bit lanes except
// the exact colour-matrix sums, which use 32-bit lanes when 16 bits could overflow.
#pragma once

// ---------------------------------------------------------------------------------------------
// Lane operations

// The operations every vector width has under the same names: prefix _mm, _mm256 or _mm512,
// and the whole-register suffix si128, si256 or si512. Each width's struct adds the few that
// differ.
#define KSCAM_LANE_OPERATIONS(P, S)                                                                       \
  static KSCAM_VECTOR_FN vec Load(const UCHAR* p) { return P##_loadu_##S(reinterpret_cast<const vec*>(p)); } \
  static KSCAM_VECTOR_FN void Store(UCHAR* p, vec v) { P##_storeu_##S(reinterpret_cast<vec*>(p), v); }       \
  static KSCAM_VECTOR_FN vec Zero() { return P##_setzero_##S(); }                                          \
  static KSCAM_VECTOR_FN vec Set8(int v) { return P##_set1_epi8(static_cast<char>(v)); }                    \
  static KSCAM_VECTOR_FN vec Set16(int v) { return P##_set1_epi16(static_cast<short>(v)); }                 \
  static KSCAM_VECTOR_FN vec Set32(int v) { return P##_set1_epi32(v); }                                     \
  /* The even-column and odd-column bytes as 16-bit lanes. */                                              \
  static KSCAM_VECTOR_FN vec Even(vec v) { return P##_and_##S(v, P##_set1_epi16(0x00FF)); }                 \
  static KSCAM_VECTOR_FN vec Odd(vec v) { return P##_srli_epi16(v, 8); }                                    \
  static KSCAM_VECTOR_FN vec Add(vec a, vec b) { return P##_add_epi16(a, b); }                              \
  static KSCAM_VECTOR_FN vec SubSat(vec a, vec b) { return P##_subs_epu16(a, b); }                          \
  static KSCAM_VECTOR_FN vec Mullo(vec a, vec b) { return P##_mullo_epi16(a, b); }                          \
  static KSCAM_VECTOR_FN vec MulhiU(vec a, vec b) { return P##_mulhi_epu16(a, b); }                         \
  static KSCAM_VECTOR_FN vec Min(vec a, vec b) { return P##_min_epi16(a, b); }                              \
  static KSCAM_VECTOR_FN vec Or(vec a, vec b) { return P##_or_##S(a, b); }                                  \
  template <int n>                                                                                          \
  static KSCAM_VECTOR_FN vec Slli(vec v) { return P##_slli_epi16(v, n); }                                   \
  template <int n>                                                                                          \
  static KSCAM_VECTOR_FN vec Srli(vec v) { return P##_srli_epi16(v, n); }                                   \
  static KSCAM_VECTOR_FN vec UnpackLo8(vec a, vec b) { return P##_unpacklo_epi8(a, b); }                    \
  static KSCAM_VECTOR_FN vec UnpackHi8(vec a, vec b) { return P##_unpackhi_epi8(a, b); }                    \
  static KSCAM_VECTOR_FN vec UnpackLo16(vec a, vec b) { return P##_unpacklo_epi16(a, b); }                  \
  static KSCAM_VECTOR_FN vec UnpackHi16(vec a, vec b) { return P##_unpackhi_epi16(a, b); }                  \
  static KSCAM_VECTOR_FN vec UnpackLo32(vec a, vec b) { return P##_unpacklo_epi32(a, b); }                  \
  static KSCAM_VECTOR_FN vec UnpackHi32(vec a, vec b) { return P##_unpackhi_epi32(a, b); }                  \
  static KSCAM_VECTOR_FN vec Madd(vec a, vec b) { return P##_madd_epi16(a, b); }                            \
  static KSCAM_VECTOR_FN vec Add32(vec a, vec b) { return P##_add_epi32(a, b); }                            \
  static KSCAM_VECTOR_FN vec Sub32(vec a, vec b) { return P##_sub_epi32(a, b); }                            \
  template <int n>                                                                                          \
  static KSCAM_VECTOR_FN vec Srai32(vec v) { return P##_srai_epi32(v, n); }                                 \
  static KSCAM_VECTOR_FN vec Packs32(vec a, vec b) { return P##_packs_epi32(a, b); }                        \
  static KSCAM_VECTOR_FN vec PackUs16(vec a, vec b) { return P##_packus_epi16(a, b); }                      \
  static KSCAM_VECTOR_FN vec AvgU8(vec a, vec b) { return P##_avg_epu8(a, b); }                             \
  static KSCAM_VECTOR_FN vec SubSatU8(vec a, vec b) { return P##_subs_epu8(a, b); }                         \
  static KSCAM_VECTOR_FN vec Add64(vec a, vec b) { return P##_add_epi64(a, b); }                            \
  static KSCAM_VECTOR_FN vec SumBytes(vec v) { return P##_sad_epu8(v, P##_setzero_##S()); }

// 128-bit lanes (SSE2; VEX-encoded when included by a wider instruction set's file)

struct V128 {
  typedef __m128i vec;
  static constexpr ULONG kPixels = 16;

  KSCAM_LANE_OPERATIONS(_mm, si128)

  // All ones in the 16-bit lanes where a > b (signed).
  static KSCAM_VECTOR_FN vec CmpGt(vec a, vec b) { return _mm_cmpgt_epi16(a, b); }
  // One bit for each non-zero byte.
  static KSCAM_VECTOR_FN ULONG NonZeroBytes(vec v) {
    return static_cast<ULONG>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()))) ^ 0xFFFFu;
  }
  // A streaming store where the address allows one.
  static KSCAM_VECTOR_FN void StoreStream(UCHAR* p, vec v) {
    if ((reinterpret_cast<ULONG_PTR>(p) & 15) == 0) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(p), v);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    }
  }
  static KSCAM_VECTOR_FN ULONG64 Total64(vec v) {
    return static_cast<ULONG64>(_mm_cvtsi128_si64(v)) +
           static_cast<ULONG64>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
  }
  // Bytes 0 .. n-1 kept, the rest cleared.
  static KSCAM_VECTOR_FN vec KeepFirst(vec v, ULONG n) {
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_and_si128(v, _mm_cmplt_epi8(index, _mm_set1_epi8(static_cast<char>(n))));
  }

  // Writes n (at most 16) pixels from four vectors holding pixels 0-3, 4-7, 8-11, 12-15.
  static KSCAM_VECTOR_FN void StorePixels(UCHAR* out, vec p0, vec p1, vec p2, vec p3, ULONG n, bool stream) {
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    if (n < kPixels) {
      const vec part[4] = {p0, p1, p2, p3};
      memcpy(out, part, n * 4);
    } else if (stream) {
      _mm_stream_si128(dst, p0);
      _mm_stream_si128(dst + 1, p1);
      _mm_stream_si128(dst + 2, p2);
      _mm_stream_si128(dst + 3, p3);
    } else {
      Store(out, p0);
      Store(out + 16, p1);
      Store(out + 32, p2);
      Store(out + 48, p3);
    }
  }
};

// ---------------------------------------------------------------------------------------------
// Per-frame constants broadcast into lanes

// How the colour matrix sums are formed: in 16-bit lanes, only from the terms a usual colour
// matrix has (each output's own input positive, the others not, no constants), or from every
// term without or with the constants; or in 32-bit lanes.
enum MatrixMode { kMatrix16Diagonal, kMatrix16, kMatrix16Constant, kMatrix32 };

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
  MatrixMode mode;
  // Every gain is 128: a gain of 1 changes nothing, so the step is skipped.
  bool unity_gains;
  // Every gain is at most 256: a sample times its gain fits 16 bits.
  bool small_gains;
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
  bool constants = false;
  for (int j = 0; j < 3; ++j) {
    w.positive_rg[j] = V::Set32(static_cast<int>(s.positive[0][j] | (static_cast<ULONG>(s.positive[1][j]) << 16)));
    w.positive_b[j] = V::Set32(s.positive[2][j]);
    w.positive_c[j] = V::Set32(s.positive[3][j]);
    w.negative_rg[j] = V::Set32(static_cast<int>(s.negative[0][j] | (static_cast<ULONG>(s.negative[1][j]) << 16)));
    w.negative_b[j] = V::Set32(s.negative[2][j]);
    w.negative_c[j] = V::Set32(s.negative[3][j]);
    if (s.positive[3][j] != 0 || s.negative[3][j] != 0) constants = true;
  }
  bool diagonal = !constants;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (i == j ? s.negative[i][j] != 0 : s.positive[i][j] != 0) diagonal = false;
    }
  }
  if (s.matrix_width != 0) {
    w.mode = kMatrix32;
  } else if (diagonal) {
    w.mode = kMatrix16Diagonal;
  } else {
    w.mode = constants ? kMatrix16Constant : kMatrix16;
  }
  w.unity_gains = s.gain[0] == 128 && s.gain[1] == 128 && s.gain[2] == 128;
  w.small_gains = s.gain[0] <= 256 && s.gain[1] <= 256 && s.gain[2] <= 256;
}

// ---------------------------------------------------------------------------------------------
// Interpolation of one group

template <class V>
struct GroupRgb {
  typedef typename V::vec vec;
  // [0]: even-column pixels, [1]: odd-column pixels; values 0 .. 255 in 16-bit lanes.
  vec r[2], g[2], b[2];
};

// An estimate min(255, (max(t, 0) + round) >> shift) from t + round = plus - minus, both
// parts non-negative. The saturating difference is max(t + round, 0), which shifts to the
// same value because round < 1 << shift.
template <class V, int shift>
KSCAM_VECTOR_FN typename V::vec Estimate(typename V::vec plus, typename V::vec minus) {
  return V::Min(V::template Srli<shift>(V::SubSat(plus, minus)), V::Set16(255));
}

// The four estimates of a group and its own samples: the colours at green sites are row and
// column in the lanes of the green column parity, green and opposite in the other lanes.
template <class V>
struct GroupEstimates {
  typedef typename V::vec vec;
  vec center[2];
  vec row, column, green, opposite;
};

// p is the work-buffer sample of the group's first pixel; green_parity is the column parity
// of the line's green samples.
template <class V, ULONG green_parity>
KSCAM_VECTOR_FN void EstimateGroup(const UCHAR* p, LONG stride, GroupEstimates<V>& e) {
  typedef typename V::vec vec;
  const vec a = V::Load(p - 2), b = V::Load(p), c = V::Load(p + 2);
  const vec am = V::Load(p - stride - 2), bm = V::Load(p - stride), cm = V::Load(p - stride + 2);
  const vec ap = V::Load(p + stride - 2), bp = V::Load(p + stride), cp = V::Load(p + stride + 2);
  const vec b2m = V::Load(p - 2 * stride), b2p = V::Load(p + 2 * stride);

  const vec oa = V::Odd(a), eb = V::Even(b), ob = V::Odd(b), ec = V::Even(c);

  vec center[2], h1[2], h2[2], v1[2], v2[2], d[2];
  center[0] = eb;
  center[1] = ob;
  h1[0] = V::Add(oa, ob);
  h1[1] = V::Add(eb, ec);
  h2[0] = V::Add(V::Even(a), ec);
  h2[1] = V::Add(oa, V::Odd(c));
  v1[0] = V::Add(V::Even(bm), V::Even(bp));
  v1[1] = V::Add(V::Odd(bm), V::Odd(bp));
  v2[0] = V::Add(V::Even(b2m), V::Even(b2p));
  v2[1] = V::Add(V::Odd(b2m), V::Odd(b2p));
  // The diagonal neighbours of an even pixel are the odd ones beside its upper and lower
  // neighbours, and the other way round.
  d[0] = V::Add(v1[1], V::Add(V::Odd(am), V::Odd(ap)));
  d[1] = V::Add(v1[0], V::Add(V::Even(cm), V::Even(cp)));

  constexpr ULONG gp = green_parity;
  constexpr ULONG op = 1 - green_parity;

  // Green sites: the row and column neighbours' colours, 10c + 8h1 - 2h2 + v2 - 2d and
  // 10c + 8v1 - 2v2 + h2 - 2d.
  const vec ten = V::Add(V::Mullo(center[gp], V::Set16(10)), V::Set16(8));
  e.row = Estimate<V, 4>(V::Add(V::Add(ten, V::template Slli<3>(h1[gp])), v2[gp]),
                         V::template Slli<1>(V::Add(h2[gp], d[gp])));
  e.column = Estimate<V, 4>(V::Add(V::Add(ten, V::template Slli<3>(v1[gp])), h2[gp]),
                            V::template Slli<1>(V::Add(v2[gp], d[gp])));
  // Red or blue sites: green 4c + 2(h1 + v1) - (h2 + v2) and the opposite colour
  // 12c + 4d - 3(h2 + v2).
  const vec outer = V::Add(h2[op], v2[op]);
  e.green = Estimate<V, 3>(
      V::Add(V::Add(V::template Slli<2>(center[op]), V::template Slli<1>(V::Add(h1[op], v1[op]))), V::Set16(4)), outer);
  e.opposite = Estimate<V, 4>(
      V::Add(V::Add(V::Mullo(center[op], V::Set16(12)), V::template Slli<2>(d[op])), V::Set16(8)),
      V::Mullo(outer, V::Set16(3)));
  e.center[0] = center[0];
  e.center[1] = center[1];
}

// Estimates kept between the two passes of a white-balanced frame: 2 bytes a pixel.
template <class V>
KSCAM_VECTOR_FN void KeepEstimates(UCHAR* keep, const GroupEstimates<V>& e) {
  V::StoreStream(keep, V::PackUs16(e.row, e.column));
  V::StoreStream(keep + sizeof(typename V::vec), V::PackUs16(e.green, e.opposite));
}

template <class V>
KSCAM_VECTOR_FN void RestoreEstimates(const UCHAR* p, const UCHAR* kept, GroupEstimates<V>& e) {
  const typename V::vec b = V::Load(p);
  const typename V::vec first = V::Load(kept), second = V::Load(kept + sizeof(typename V::vec));
  e.center[0] = V::Even(b);
  e.center[1] = V::Odd(b);
  e.row = V::UnpackLo8(first, V::Zero());
  e.column = V::UnpackHi8(first, V::Zero());
  e.green = V::UnpackLo8(second, V::Zero());
  e.opposite = V::UnpackHi8(second, V::Zero());
}

// red_line: whether the line's other samples are red.
template <class V, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void AssignSites(const GroupEstimates<V>& e, GroupRgb<V>& out) {
  constexpr ULONG gp = green_parity;
  constexpr ULONG op = 1 - green_parity;
  out.g[gp] = e.center[gp];
  out.g[op] = e.green;
  if (red_line) {
    out.r[gp] = e.row;
    out.b[gp] = e.column;
    out.r[op] = e.center[op];
    out.b[op] = e.opposite;
  } else {
    out.r[gp] = e.column;
    out.b[gp] = e.row;
    out.r[op] = e.opposite;
    out.b[op] = e.center[op];
  }
}

template <class V, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void InterpolateGroup(const UCHAR* p, LONG stride, GroupRgb<V>& out) {
  GroupEstimates<V> e;
  EstimateGroup<V, green_parity>(p, stride, e);
  AssignSites<V, green_parity, red_line>(e, out);
}

// The group's colours from the work buffer, or from the estimates kept for it.
template <class V, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void GroupColours(const UCHAR* p, LONG stride, const UCHAR* kept, GroupRgb<V>& out) {
  GroupEstimates<V> e;
  if (kept != nullptr) {
    RestoreEstimates<V>(p, kept, e);
  } else {
    EstimateGroup<V, green_parity>(p, stride, e);
  }
  AssignSites<V, green_parity, red_line>(e, out);
}

template <class V, bool small>
KSCAM_VECTOR_FN typename V::vec ApplyGain(typename V::vec v, typename V::vec gain) {
  typedef typename V::vec vec;
  const vec scaled = V::template Srli<7>(V::Mullo(v, gain));
  // 255 x 256 stays below 65536: the low half is the whole product.
  if (small) return V::Min(scaled, V::Set16(255));
  // A non-zero high half means the product reached 65536: saturate.
  const vec overflow = V::CmpGt(V::MulhiU(v, gain), V::Zero());
  return V::Min(V::Or(scaled, V::template Srli<1>(overflow)), V::Set16(255));
}

// Both column parities, written out: a loop here is not unrolled and keeps the values in
// memory.
template <class V, bool small>
KSCAM_VECTOR_FN void ApplyGainsOf(const Weights<V>& w, GroupRgb<V>& px) {
  px.r[0] = ApplyGain<V, small>(px.r[0], w.gain[0]);
  px.g[0] = ApplyGain<V, small>(px.g[0], w.gain[1]);
  px.b[0] = ApplyGain<V, small>(px.b[0], w.gain[2]);
  px.r[1] = ApplyGain<V, small>(px.r[1], w.gain[0]);
  px.g[1] = ApplyGain<V, small>(px.g[1], w.gain[1]);
  px.b[1] = ApplyGain<V, small>(px.b[1], w.gain[2]);
}

template <class V>
KSCAM_VECTOR_FN void ApplyGains(const Weights<V>& w, GroupRgb<V>& px) {
  if (w.unity_gains) return;
  if (w.small_gains) {
    ApplyGainsOf<V, true>(w, px);
  } else {
    ApplyGainsOf<V, false>(w, px);
  }
}

// Grey from gained channels; each product is truncated on its own. At most 253.
template <class V>
KSCAM_VECTOR_FN typename V::vec Luma(typename V::vec r, typename V::vec g, typename V::vec b) {
  return V::Add(V::Add(V::template Srli<8>(V::Mullo(r, V::Set16(77))), V::template Srli<8>(V::Mullo(g, V::Set16(150)))),
                V::template Srli<8>(V::Mullo(b, V::Set16(29))));
}

template <class V>
KSCAM_VECTOR_FN typename V::vec Combine(typename V::vec even, typename V::vec odd) {
  return V::Or(even, V::template Slli<8>(odd));
}

// One output channel from gained inputs, for the lanes of one column parity, as a signed
// 16-bit value that the byte packing clamps to 0 .. 255.
template <class V, MatrixMode mode, int j>
KSCAM_VECTOR_FN typename V::vec MatrixChannel(const Weights<V>& w, typename V::vec r, typename V::vec g,
                                              typename V::vec b) {
  typedef typename V::vec vec;
  if (mode == kMatrix16Diagonal) {
    // The other terms are all zero.
    constexpr int first = j == 0 ? 1 : 0;
    constexpr int second = j == 2 ? 1 : 2;
    const vec own = j == 0 ? r : (j == 1 ? g : b);
    const vec pos = V::Mullo(own, w.positive[j][j]);
    const vec neg = V::Add(V::Mullo(first == 0 ? r : g, w.negative[first][j]),
                           V::Mullo(second == 2 ? b : g, w.negative[second][j]));
    return V::SubSat(V::template Srli<6>(pos), V::template Srli<6>(neg));
  } else if (mode != kMatrix32) {
    // Every sum stays below 65536: exact in 16-bit lanes. The saturating difference clamps
    // at 0; the result is at most 1023.
    vec pos = V::Add(V::Add(V::Mullo(r, w.positive[0][j]), V::Mullo(g, w.positive[1][j])), V::Mullo(b, w.positive[2][j]));
    vec neg = V::Add(V::Add(V::Mullo(r, w.negative[0][j]), V::Mullo(g, w.negative[1][j])), V::Mullo(b, w.negative[2][j]));
    if (mode == kMatrix16Constant) {
      pos = V::Add(pos, w.positive[3][j]);
      neg = V::Add(neg, w.negative[3][j]);
    }
    return V::SubSat(V::template Srli<6>(pos), V::template Srli<6>(neg));
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
    return V::Packs32(lo, hi);
  }
}

// Writes n pixels b, g, r, 255 from bytes split by column parity: in each 128-bit half of a
// vector, bytes 0-7 are the half's even-column pixels and bytes 8-15 its odd-column ones.
template <class V>
KSCAM_VECTOR_FN void StoreSplitBgra(UCHAR* out, typename V::vec b, typename V::vec g, typename V::vec r, ULONG n,
                                    bool stream) {
  typedef typename V::vec vec;
  const vec alpha = V::Set16(-1);
  const vec bg_even = V::UnpackLo8(b, g), bg_odd = V::UnpackHi8(b, g);
  const vec ra_even = V::UnpackLo8(r, alpha), ra_odd = V::UnpackHi8(r, alpha);
  const vec even_lo = V::UnpackLo16(bg_even, ra_even);  // pixels 0, 2, 4, 6 of the half
  const vec even_hi = V::UnpackHi16(bg_even, ra_even);  // 8 .. 14
  const vec odd_lo = V::UnpackLo16(bg_odd, ra_odd);     // 1 .. 7
  const vec odd_hi = V::UnpackHi16(bg_odd, ra_odd);     // 9 .. 15
  V::StorePixels(out, V::UnpackLo32(even_lo, odd_lo), V::UnpackHi32(even_lo, odd_lo), V::UnpackLo32(even_hi, odd_hi),
                 V::UnpackHi32(even_hi, odd_hi), n, stream);
}

template <class V, ULONG green_parity, bool red_line, MatrixMode mode>
KSCAM_VECTOR_FN void ColorGroup(const Weights<V>& w, const UCHAR* p, LONG stride, const UCHAR* kept, UCHAR* out,
                                ULONG n, bool stream) {
  typedef typename V::vec vec;
  GroupRgb<V> px;
  GroupColours<V, green_parity, red_line>(p, stride, kept, px);
  ApplyGains<V>(w, px);
  // One output channel at a time, both column parities, so few values are live at once.
  const vec red = V::PackUs16(MatrixChannel<V, mode, 0>(w, px.r[0], px.g[0], px.b[0]),
                              MatrixChannel<V, mode, 0>(w, px.r[1], px.g[1], px.b[1]));
  const vec green = V::PackUs16(MatrixChannel<V, mode, 1>(w, px.r[0], px.g[0], px.b[0]),
                                MatrixChannel<V, mode, 1>(w, px.r[1], px.g[1], px.b[1]));
  const vec blue = V::PackUs16(MatrixChannel<V, mode, 2>(w, px.r[0], px.g[0], px.b[0]),
                               MatrixChannel<V, mode, 2>(w, px.r[1], px.g[1], px.b[1]));
  StoreSplitBgra<V>(out, blue, green, red, n, stream);
}

template <class V, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void GrayGroup(const Weights<V>& w, const UCHAR* p, LONG stride, const UCHAR* kept, UCHAR* out,
                               ULONG n, bool stream) {
  typedef typename V::vec vec;
  GroupRgb<V> px;
  GroupColours<V, green_parity, red_line>(p, stride, kept, px);
  ApplyGains<V>(w, px);
  const vec y = V::PackUs16(Luma<V>(px.r[0], px.g[0], px.b[0]), Luma<V>(px.r[1], px.g[1], px.b[1]));
  StoreSplitBgra<V>(out, y, y, y, n, stream);
}

// Adds the group's red, green and blue, both column parities, into 16-bit lane sums: each
// lane grows by at most 510 per group.
template <class V, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void MeasureGroup(const UCHAR* p, LONG stride, UCHAR* keep, typename V::vec sums[3]) {
  GroupEstimates<V> e;
  EstimateGroup<V, green_parity>(p, stride, e);
  if (keep != nullptr) KeepEstimates<V>(keep, e);
  GroupRgb<V> px;
  AssignSites<V, green_parity, red_line>(e, px);
  sums[0] = V::Add(sums[0], V::Add(px.r[0], px.r[1]));
  sums[1] = V::Add(sums[1], V::Add(px.g[0], px.g[1]));
  sums[2] = V::Add(sums[2], V::Add(px.b[0], px.b[1]));
}

// Groups whose 16-bit lane sums cannot overflow: 128 x 510 < 65536.
constexpr ULONG kMeasureChunk = 128;

// The 16-bit lane sums folded into 32-bit lane sums.
template <class V>
KSCAM_VECTOR_FN typename V::vec Widen(typename V::vec wide, typename V::vec sums) {
  return V::Add32(wide, V::Add32(V::UnpackLo16(sums, V::Zero()), V::UnpackHi16(sums, V::Zero())));
}

template <class V>
KSCAM_VECTOR_FN ULONG64 Total32(typename V::vec v) {
  return V::Total64(V::Add64(V::UnpackLo32(v, V::Zero()), V::UnpackHi32(v, V::Zero())));
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

// The pixels of the group that may be replaced, one bit each: a pixel without its bit,
// judged with the neighbours as they are now, would not be. The mean is taken with byte
// averages, which round up and give a value from the true (truncated) mean to 2 above it, so
// a difference of at least the threshold t from the true mean is at least t - 2 from this
// one: limit is t - 3 (t at least 3).
template <class V>
KSCAM_VECTOR_FN ULONG64 DefectCandidates(const UCHAR* p, LONG stride, typename V::vec limit) {
  typedef typename V::vec vec;
  const vec c = V::Load(p), l = V::Load(p - 2), r = V::Load(p + 2);
  const vec u = V::Load(p - 2 * stride), d = V::Load(p + 2 * stride);
  const vec mean = V::AvgU8(V::AvgU8(l, r), V::AvgU8(u, d));
  const vec distance = V::Or(V::SubSatU8(c, mean), V::SubSatU8(mean, c));
  return V::NonZeroBytes(V::SubSatU8(distance, limit));
}

// The exact pass over the candidates among columns x .. x + n - 1, in order. A replaced
// sample changes the mean of the sample two to its right, which is then judged as well; every
// other sample keeps the neighbours it was screened with.
KSCAM_VECTOR_FN void CorrectCandidates(UCHAR* line, LONG stride, ULONG x, ULONG n, ULONG64 candidates,
                                       LONG threshold) {
  const UCHAR* up = line - 2 * stride;
  const UCHAR* down = line + 2 * stride;
  if (n < 64) candidates &= (1ull << n) - 1;
  while (candidates != 0) {
    const ULONG i = static_cast<ULONG>(__builtin_ctzll(candidates));
    candidates &= candidates - 1;
    const ULONG at = x + i;
    const LONG a = (line[at - 2] + line[at + 2] + up[at] + down[at]) >> 2;
    LONG d = line[at] - a;
    if (d < 0) d = -d;
    if (d >= threshold) {
      line[at] = static_cast<UCHAR>(a);
      if (i + 2 < n) candidates |= 1ull << (i + 2);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Line runs: groups of the widest vector while whole groups fit, then 16-pixel groups. Each
// wide group also copies its share of the line copy; the rest follows the line.

template <class Wide>
KSCAM_VECTOR_FN void CopyShare(const LineCopy& copy, ULONG x) {
  if (x + Wide::kPixels <= copy.bytes) Wide::Store(copy.to + x, Wide::Load(copy.from + x));
}

KSCAM_VECTOR_FN void CopyRest(const LineCopy& copy, ULONG done) {
  if (copy.bytes > done) memcpy(copy.to + done, copy.from + done, copy.bytes - done);
}

// Kept estimates, when there are any, cover the wide groups of a line: 2 bytes a pixel.
KSCAM_VECTOR_FN const UCHAR* KeptAt(const UCHAR* kept, ULONG x) { return kept != nullptr ? kept + 2 * x : nullptr; }
KSCAM_VECTOR_FN UCHAR* KeepAt(UCHAR* keep, ULONG x) { return keep != nullptr ? keep + 2 * x : nullptr; }

template <class Wide, ULONG green_parity, bool red_line, MatrixMode mode>
KSCAM_VECTOR_FN void ColorRun(const Weights<Wide>& wide, const Weights<V128>& narrow, const UCHAR* p, LONG stride,
                              ULONG width, UCHAR* out, bool stream, const LineCopy& copy, const UCHAR* kept) {
  ULONG x = 0;
  for (; x + Wide::kPixels <= width; x += Wide::kPixels) {
    CopyShare<Wide>(copy, x);
    ColorGroup<Wide, green_parity, red_line, mode>(wide, p + x, stride, KeptAt(kept, x), out + 4 * x, Wide::kPixels,
                                                   stream);
  }
  CopyRest(copy, x);
  for (; x < width; x += V128::kPixels) {
    const ULONG n = (width - x < V128::kPixels) ? width - x : V128::kPixels;
    ColorGroup<V128, green_parity, red_line, mode>(narrow, p + x, stride, nullptr, out + 4 * x, n, stream);
  }
}

template <class Wide, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void ColorRunFor(const Weights<Wide>& wide, const Weights<V128>& narrow, const UCHAR* p, LONG stride,
                                 ULONG width, UCHAR* out, bool stream, const LineCopy& copy,
                                 const UCHAR* kept) {
  switch (wide.mode) {
    case kMatrix16Diagonal:
      ColorRun<Wide, green_parity, red_line, kMatrix16Diagonal>(wide, narrow, p, stride, width, out, stream, copy, kept);
      break;
    case kMatrix16:
      ColorRun<Wide, green_parity, red_line, kMatrix16>(wide, narrow, p, stride, width, out, stream, copy, kept);
      break;
    case kMatrix16Constant:
      ColorRun<Wide, green_parity, red_line, kMatrix16Constant>(wide, narrow, p, stride, width, out, stream, copy, kept);
      break;
    default:
      ColorRun<Wide, green_parity, red_line, kMatrix32>(wide, narrow, p, stride, width, out, stream, copy, kept);
      break;
  }
}

template <class Wide, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void GrayRun(const Weights<Wide>& wide, const Weights<V128>& narrow, const UCHAR* p, LONG stride,
                             ULONG width, UCHAR* out, bool stream, const LineCopy& copy, const UCHAR* kept) {
  ULONG x = 0;
  for (; x + Wide::kPixels <= width; x += Wide::kPixels) {
    CopyShare<Wide>(copy, x);
    GrayGroup<Wide, green_parity, red_line>(wide, p + x, stride, KeptAt(kept, x), out + 4 * x, Wide::kPixels, stream);
  }
  CopyRest(copy, x);
  for (; x < width; x += V128::kPixels) {
    const ULONG n = (width - x < V128::kPixels) ? width - x : V128::kPixels;
    GrayGroup<V128, green_parity, red_line>(narrow, p + x, stride, nullptr, out + 4 * x, n, stream);
  }
}

template <class Wide, ULONG green_parity, bool red_line>
KSCAM_VECTOR_FN void MeasureRun(const UCHAR* p, LONG stride, ULONG width, ULONG64 totals[3], const LineCopy& copy,
                                UCHAR* keep) {
  typedef typename Wide::vec vec;
  vec wide32[3] = {Wide::Zero(), Wide::Zero(), Wide::Zero()};
  __m128i narrow64[3] = {V128::Zero(), V128::Zero(), V128::Zero()};
  ULONG x = 0;
  while (x + Wide::kPixels <= width) {
    vec sums[3] = {Wide::Zero(), Wide::Zero(), Wide::Zero()};
    for (ULONG k = 0; k < kMeasureChunk && x + Wide::kPixels <= width; ++k, x += Wide::kPixels) {
      CopyShare<Wide>(copy, x);
      MeasureGroup<Wide, green_parity, red_line>(p + x, stride, KeepAt(keep, x), sums);
    }
    for (int i = 0; i < 3; ++i) wide32[i] = Widen<Wide>(wide32[i], sums[i]);
  }
  CopyRest(copy, x);
  // Fewer than kMeasureChunk narrow groups follow the wide ones.
  __m128i narrow16[3] = {V128::Zero(), V128::Zero(), V128::Zero()};
  for (; x + V128::kPixels <= width; x += V128::kPixels) MeasureGroup<V128, green_parity, red_line>(p + x, stride, nullptr, narrow16);
  if (x < width) MeasureTail128<green_parity, red_line>(p + x, stride, width - x, narrow64);
  for (int i = 0; i < 3; ++i) {
    totals[i] += Total32<Wide>(wide32[i]) + Total32<V128>(Widen<V128>(V128::Zero(), narrow16[i])) +
                 V128::Total64(narrow64[i]);
  }
}

// The line's green column parity and whether its other samples are red, in phase-0 terms.
KSCAM_VECTOR_FN ULONG LineKind(const PixelSetup& s, ULONG y) {
  const ULONG red_line = ((y + s.row_shift) & 1) == 0 ? 1u : 0u;
  const ULONG green_parity = (red_line ? 0u : 1u) ^ s.col_shift;
  return green_parity * 2 + red_line;
}

template <class Wide, ULONG green_parity, bool red_line, bool color>
KSCAM_VECTOR_FN void OutputRun(const Weights<Wide>& wide, const Weights<V128>& narrow, const PixelSetup& s,
                               const UCHAR* p, UCHAR* out, const LineCopy& copy, const UCHAR* kept) {
  if (color) {
    ColorRunFor<Wide, green_parity, red_line>(wide, narrow, p, s.stride, s.width, out, s.stream_output, copy, kept);
  } else {
    GrayRun<Wide, green_parity, red_line>(wide, narrow, p, s.stride, s.width, out, s.stream_output, copy, kept);
  }
}

template <class Wide, bool color>
KSCAM_VECTOR_FN void OutputLineVector(const PixelSetup& s, ULONG y, UCHAR* out, const LineCopy& copy,
                                      const UCHAR* kept) {
  Weights<Wide> wide;
  Weights<V128> narrow;
  PrepareWeights<Wide>(s, wide);
  PrepareWeights<V128>(s, narrow);
  const UCHAR* p = s.origin + static_cast<LONG_PTR>(y) * s.stride;
  switch (LineKind(s, y)) {
    case 0: OutputRun<Wide, 0, false, color>(wide, narrow, s, p, out, copy, kept); break;
    case 1: OutputRun<Wide, 0, true, color>(wide, narrow, s, p, out, copy, kept); break;
    case 2: OutputRun<Wide, 1, false, color>(wide, narrow, s, p, out, copy, kept); break;
    default: OutputRun<Wide, 1, true, color>(wide, narrow, s, p, out, copy, kept); break;
  }
}

template <class Wide>
KSCAM_VECTOR_FN void MeasureLineVector(const PixelSetup& s, ULONG y, ULONG64 sums[3], const LineCopy& copy,
                                       UCHAR* keep) {
  const UCHAR* p = s.origin + static_cast<LONG_PTR>(y) * s.stride;
  switch (LineKind(s, y)) {
    case 0: MeasureRun<Wide, 0, false>(p, s.stride, s.width, sums, copy, keep); break;
    case 1: MeasureRun<Wide, 0, true>(p, s.stride, s.width, sums, copy, keep); break;
    case 2: MeasureRun<Wide, 1, false>(p, s.stride, s.width, sums, copy, keep); break;
    default: MeasureRun<Wide, 1, true>(p, s.stride, s.width, sums, copy, keep); break;
  }
}

template <class Wide>
KSCAM_VECTOR_FN void CorrectLineVector(UCHAR* line, LONG stride, ULONG width, LONG threshold) {
  if (width < 5) return;
  const ULONG end = width - 2;  // columns 2 .. width - 3
  const bool screen = threshold >= 3;
  const int limit = screen ? threshold - 3 : 0;
  const typename Wide::vec wide_limit = Wide::Set8(limit);
  const __m128i narrow_limit = V128::Set8(limit);
  const ULONG64 every = ~0ull;  // below 3 nearly every sample differs that much
  ULONG x = 2;
  for (; x + Wide::kPixels <= end; x += Wide::kPixels) {
    const ULONG64 candidates = screen ? DefectCandidates<Wide>(line + x, stride, wide_limit) : every;
    if (candidates != 0) CorrectCandidates(line, stride, x, Wide::kPixels, candidates, threshold);
  }
  for (; x < end; x += V128::kPixels) {
    const ULONG n = (end - x < V128::kPixels) ? end - x : V128::kPixels;
    const ULONG64 candidates = screen ? DefectCandidates<V128>(line + x, stride, narrow_limit) : every;
    if (candidates != 0) CorrectCandidates(line, stride, x, n, candidates, threshold);
  }
}
