// The scalar reference: one pixel at a time, written to read like the definition. The vector
// implementations must give exactly these bytes.
#include "convert/convert_kernels.h"

namespace {

inline LONG Estimate(LONG t, LONG round, LONG shift) {
  if (t < 0) t = 0;
  t = (t + round) >> shift;
  return t > 255 ? 255 : t;
}

inline LONG ApplyGain(LONG value, USHORT gain) {
  const ULONG product = static_cast<ULONG>(value) * gain;
  const ULONG scaled = product >> 7;
  return scaled > 255 ? 255 : static_cast<LONG>(scaled);
}

void CorrectLineScalar(UCHAR* line, LONG stride, ULONG width, LONG threshold) {
  const UCHAR* up = line - 2 * stride;
  const UCHAR* down = line + 2 * stride;
  for (ULONG x = 2; x + 2 < width; ++x) {
    const LONG a = (line[x - 2] + line[x + 2] + up[x] + down[x]) >> 2;
    LONG d = line[x] - a;
    if (d < 0) d = -d;
    if (d >= threshold) line[x] = static_cast<UCHAR>(a);
  }
}

void ColorLineScalar(const PixelSetup& setup, ULONG y, UCHAR* out, const LineCopy& copy, const UCHAR*) {
  if (copy.bytes != 0) memcpy(copy.to, copy.from, copy.bytes);
  for (ULONG x = 0; x < setup.width; ++x) {
    const PixelRgb p = InterpolatePixel(setup, static_cast<LONG>(x), static_cast<LONG>(y));
    const LONG in[3] = {ApplyGain(p.r, setup.gain[0]), ApplyGain(p.g, setup.gain[1]), ApplyGain(p.b, setup.gain[2])};
    UCHAR result[3];
    for (int j = 0; j < 3; ++j) {
      // Exact sums: a bright pixel must never wrap to a dark one.
      ULONG positive = setup.positive[3][j];
      ULONG negative = setup.negative[3][j];
      for (int i = 0; i < 3; ++i) {
        positive += static_cast<ULONG>(in[i]) * setup.positive[i][j];
        negative += static_cast<ULONG>(in[i]) * setup.negative[i][j];
      }
      LONG v = static_cast<LONG>(positive >> 6) - static_cast<LONG>(negative >> 6);
      if (v < 0) v = 0;
      if (v > 255) v = 255;
      result[j] = static_cast<UCHAR>(v);
    }
    out[4 * x + 0] = result[2];
    out[4 * x + 1] = result[1];
    out[4 * x + 2] = result[0];
    out[4 * x + 3] = 255;
  }
}

void GrayLineScalar(const PixelSetup& setup, ULONG y, UCHAR* out, const LineCopy& copy, const UCHAR*) {
  if (copy.bytes != 0) memcpy(copy.to, copy.from, copy.bytes);
  for (ULONG x = 0; x < setup.width; ++x) {
    const PixelRgb p = InterpolatePixel(setup, static_cast<LONG>(x), static_cast<LONG>(y));
    const LONG r = ApplyGain(p.r, setup.gain[0]);
    const LONG g = ApplyGain(p.g, setup.gain[1]);
    const LONG b = ApplyGain(p.b, setup.gain[2]);
    const UCHAR luma = static_cast<UCHAR>(((r * 77) >> 8) + ((g * 150) >> 8) + ((b * 29) >> 8));
    out[4 * x + 0] = luma;
    out[4 * x + 1] = luma;
    out[4 * x + 2] = luma;
    out[4 * x + 3] = 255;
  }
}

void MeasureLineScalar(const PixelSetup& setup, ULONG y, ULONG64 sums[3], const LineCopy& copy, UCHAR*) {
  if (copy.bytes != 0) memcpy(copy.to, copy.from, copy.bytes);
  for (ULONG x = 0; x < setup.width; ++x) {
    const PixelRgb p = InterpolatePixel(setup, static_cast<LONG>(x), static_cast<LONG>(y));
    sums[0] += static_cast<ULONG64>(p.r);
    sums[1] += static_cast<ULONG64>(p.g);
    sums[2] += static_cast<ULONG64>(p.b);
  }
}

void FinishScalar() {}

constexpr ConversionKernels kScalarKernels = {CorrectLineScalar, ColorLineScalar, GrayLineScalar, MeasureLineScalar,
                                              FinishScalar};

}  // namespace

PixelRgb InterpolatePixel(const PixelSetup& setup, LONG x, LONG y) {
  const UCHAR* c = setup.origin + static_cast<LONG_PTR>(y) * setup.stride + x;
  const LONG stride = setup.stride;
  auto s = [c, stride](LONG dx, LONG dy) -> LONG { return c[static_cast<LONG_PTR>(dy) * stride + dx]; };

  const LONG center = s(0, 0);
  const LONG h1 = s(-1, 0) + s(1, 0);
  const LONG h2 = s(-2, 0) + s(2, 0);
  const LONG v1 = s(0, -1) + s(0, 1);
  const LONG v2 = s(0, -2) + s(0, 2);
  const LONG d = s(-1, -1) + s(1, -1) + s(-1, 1) + s(1, 1);

  // In phase-0 terms: even lines are G R G R, odd lines B G B G.
  const bool red_line = ((static_cast<ULONG>(y) + setup.row_shift) & 1) == 0;
  const ULONG green_column = (red_line ? 0u : 1u) ^ setup.col_shift;
  const bool green_site = (static_cast<ULONG>(x) & 1) == green_column;

  PixelRgb p;
  if (green_site) {
    const LONG row = Estimate(10 * center + 8 * h1 - 2 * h2 + v2 - 2 * d, 8, 4);
    const LONG column = Estimate(10 * center + 8 * v1 - 2 * v2 + h2 - 2 * d, 8, 4);
    p.g = center;
    p.r = red_line ? row : column;
    p.b = red_line ? column : row;
  } else {
    const LONG green = Estimate(4 * center + 2 * (h1 + v1) - (h2 + v2), 4, 3);
    const LONG opposite = Estimate(12 * center + 4 * d - 3 * (h2 + v2), 8, 4);
    p.g = green;
    p.r = red_line ? center : opposite;
    p.b = red_line ? opposite : center;
  }
  return p;
}

const ConversionKernels& ScalarKernels() { return kScalarKernels; }
