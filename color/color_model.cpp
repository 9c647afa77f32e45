// The colour matrix model: colour settings become stage matrices in double precision, their
// product becomes the published integer matrix the conversion applies to every pixel.
#include "color/color_processor.h"

#include <emmintrin.h>

#include "driver/pool_tags.h"

namespace {

// Single-precision constants widened to double, as the matrices have always been built.
constexpr double kLumaRed = static_cast<double>(0.3086f);
constexpr double kLumaGreen = static_cast<double>(0.6094f);
constexpr double kLumaBlue = static_cast<double>(0.0820f);

void SetIdentity(ColorMatrix m) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) m[i][j] = (i == j) ? 1.0 : 0.0;
}

void CopyMatrix(const ColorMatrix from, ColorMatrix to) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) to[i][j] = from[i][j];
}

// The factor of the contrast and saturation stages, computed step by step in single
// precision: 0 at 0, 1 at 10, 2 at 20.
double StageFactor(LONG value) {
  if (value > 20) value = 20;
  float k = static_cast<float>(value) - 10.0f;
  k = k * 0.1f;
  k = k + 1.0f;
  return static_cast<double>(k);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Matrix operations

void MultiplyMatrix(const ColorMatrix p, const ColorMatrix q, ColorMatrix r) {
  double t[4][4];
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      t[i][j] = ((q[i][0] * p[0][j] + q[i][1] * p[1][j]) + q[i][2] * p[2][j]) + q[i][3] * p[3][j];
    }
  }
  CopyMatrix(t, r);
}

void RotateX(ColorMatrix m, double s, double c) {
  double t[4][4];
  SetIdentity(t);
  t[1][1] = c;
  t[1][2] = s;
  t[2][1] = -s;
  t[2][2] = c;
  MultiplyMatrix(t, m, m);
}

void RotateY(ColorMatrix m, double s, double c) {
  double t[4][4];
  SetIdentity(t);
  t[0][0] = c;
  t[0][2] = -s;
  t[2][0] = s;
  t[2][2] = c;
  MultiplyMatrix(t, m, m);
}

void ShearZ(ColorMatrix m, double dx, double dy) {
  double t[4][4];
  SetIdentity(t);
  t[0][2] = dx;
  t[1][2] = dy;
  MultiplyMatrix(t, m, m);
}

// ---------------------------------------------------------------------------------------------
// Stages

void BuildCorrectionStage(ColorProcessor* processor, LONG enable) {
  ColorMatrix& m = processor->CorrectionMatrix;
  SetIdentity(m);
  if (enable != 0) {
    static const float kCoefficients[3][3] = {
        {1.36f, -0.25f, -0.1f},
        {-0.22f, 1.4f, -0.32f},
        {-0.14f, -0.15f, 1.42f},
    };
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[i][j] = static_cast<double>(kCoefficients[i][j]);
  }
  PublishColor(processor);
}

void BuildBrightnessStage(ColorProcessor* processor, LONG value) {
  if (value > 510) value = 510;
  const double c = static_cast<double>(value) - 255.0;
  ColorMatrix& m = processor->BrightnessMatrix;
  SetIdentity(m);
  m[3][0] = c;
  m[3][1] = c;
  m[3][2] = c;
  PublishColor(processor);
}

void BuildContrastStage(ColorProcessor* processor, LONG value) {
  const double k = StageFactor(value);
  const double t = k * -128.0 + 128.0;
  ColorMatrix& m = processor->ContrastMatrix;
  SetIdentity(m);
  for (int i = 0; i < 3; ++i) {
    m[i][i] = k;
    m[3][i] = t;
  }
  PublishColor(processor);
}

void BuildSaturationStage(ColorProcessor* processor, LONG value) {
  const double s = StageFactor(value);
  const double a = 1.0 - s;
  const double ar = a * kLumaRed;
  const double ag = a * kLumaGreen;
  const double ab = a * kLumaBlue;
  ColorMatrix& m = processor->SaturationMatrix;
  SetIdentity(m);
  m[0][0] = ar + s;
  m[0][1] = ar;
  m[0][2] = ar;
  m[1][0] = ag;
  m[1][1] = ag + s;
  m[1][2] = ag;
  m[2][0] = ab;
  m[2][1] = ab;
  m[2][2] = ab + s;
  PublishColor(processor);
}

// Luminance-preserving hue rotation: turn the grey axis onto z, shear so the luminance point
// stays put, rotate about z, and undo the shear and the turn.
void BuildHueStage(ColorProcessor* processor, LONG value) {
  ColorMatrix& h = processor->HueMatrix;
  SetIdentity(h);

  const double m2 = static_cast<double>(sqrtf(2.0f));
  const double xs = 1.0 / m2;
  const double xc = 1.0 / m2;
  RotateX(h, xs, xc);

  const double m3 = static_cast<double>(sqrtf(3.0f));
  const double ys = -1.0 / m3;
  const double yc = m2 / m3;
  RotateY(h, ys, yc);

  const double lx = ((kLumaGreen * h[1][0] + kLumaRed * h[0][0]) + kLumaBlue * h[2][0]) + h[3][0];
  const double ly = ((kLumaGreen * h[1][1] + kLumaRed * h[0][1]) + kLumaBlue * h[2][1]) + h[3][1];
  const double lz = ((kLumaGreen * h[1][2] + kLumaRed * h[0][2]) + kLumaBlue * h[2][2]) + h[3][2];
  const double zsx = lx / lz;
  const double zsy = ly / lz;
  ShearZ(h, zsx, zsy);

  float theta = static_cast<float>(value) * 3.1415927f;
  theta = theta / 180.0f;
  const double s = static_cast<double>(sinf(theta));
  const double c = static_cast<double>(cosf(theta));
  double rz[4][4];
  SetIdentity(rz);
  rz[0][0] = c;
  rz[0][1] = s;
  rz[1][0] = -s;
  rz[1][1] = c;
  MultiplyMatrix(rz, h, h);

  ShearZ(h, -zsx, -zsy);
  RotateY(h, -ys, yc);
  RotateX(h, -xs, xc);
  PublishColor(processor);
}

// ---------------------------------------------------------------------------------------------
// Publication

void PublishColor(ColorProcessor* processor) {
  double c[4][4];
  CopyMatrix(processor->CorrectionMatrix, c);
  MultiplyMatrix(c, processor->ContrastMatrix, c);
  MultiplyMatrix(c, processor->BrightnessMatrix, c);
  MultiplyMatrix(c, processor->SaturationMatrix, c);
  MultiplyMatrix(c, processor->HueMatrix, c);
  CopyMatrix(c, processor->CompositeMatrix);

  LONG fixed[16];
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      double x = c[i][j] * 64.0;
      x = (x >= 0.0) ? x + 0.5 : x - 0.5;
      fixed[i * 4 + j] = static_cast<LONG>(x);
    }
  }

  KeEnterCriticalRegion();
  // Claim the sequence (even -> odd); publications are serialised by the device's colour
  // mutex, so this only waits if a caller forgot it.
  LONG sequence;
  for (;;) {
    sequence = ReadAcquire(&processor->MatrixSequence);
    if ((sequence & 1) == 0 &&
        InterlockedCompareExchange(&processor->MatrixSequence, sequence + 1, sequence) == sequence) {
      break;
    }
    _mm_pause();
  }
  for (int k = 0; k < 16; ++k) WriteNoFence(&processor->FixedMatrix[k], fixed[k]);
  WriteRelease(&processor->MatrixSequence, sequence + 2);
  KeLeaveCriticalRegion();
}

void CopyPublishedMatrix(ColorProcessor* processor, LONG out[16]) {
  KeEnterCriticalRegion();
  for (;;) {
    const LONG before = ReadAcquire(&processor->MatrixSequence);
    if (before & 1) {  // a publication is being written
      _mm_pause();
      continue;
    }
    for (int k = 0; k < 16; ++k) out[k] = ReadNoFence(&processor->FixedMatrix[k]);
    // A full-barrier read keeps the entry reads ahead of the second look at the sequence.
    const LONG after = InterlockedOr(&processor->MatrixSequence, 0);
    if (after == before) break;
  }
  KeLeaveCriticalRegion();
}

// ---------------------------------------------------------------------------------------------
// Settings

void InitializeColor(ColorProcessor* processor) {
  InterlockedExchange(&processor->BayerPhase, 0);
  InterlockedExchange(&processor->ColorEnable, 1);
  InterlockedExchange(&processor->WhiteBalance, 0);
  InterlockedExchange(&processor->RedGain, 128);
  InterlockedExchange(&processor->GreenGain, 128);
  InterlockedExchange(&processor->BlueGain, 128);
  InterlockedExchange(&processor->ColorCorrection, 1);
  InterlockedExchange(&processor->Brightness, 255);
  InterlockedExchange(&processor->Contrast, 10);
  InterlockedExchange(&processor->Saturation, 10);
  InterlockedExchange(&processor->Hue, 0);

  SetIdentity(processor->BrightnessMatrix);
  SetIdentity(processor->ContrastMatrix);
  SetIdentity(processor->SaturationMatrix);
  SetIdentity(processor->HueMatrix);
  SetIdentity(processor->CompositeMatrix);
  // The correction coefficients, matching ColorCorrection = 1; this also publishes.
  BuildCorrectionStage(processor, 1);
}

namespace {

// Returns true when the stored value changed.
bool ExchangeIfDifferent(volatile LONG* field, LONG value) {
  if (ReadAcquire(field) == value) return false;
  InterlockedExchange(field, value);
  return true;
}

}  // namespace

void UpdateColorCorrection(ColorProcessor* processor, LONG value) {
  if (ExchangeIfDifferent(&processor->ColorCorrection, value)) BuildCorrectionStage(processor, value);
}

void UpdateBrightness(ColorProcessor* processor, LONG value) {
  if (ExchangeIfDifferent(&processor->Brightness, value)) BuildBrightnessStage(processor, value);
}

void UpdateContrast(ColorProcessor* processor, LONG value) {
  if (ExchangeIfDifferent(&processor->Contrast, value)) BuildContrastStage(processor, value);
}

void UpdateSaturation(ColorProcessor* processor, LONG value) {
  if (ExchangeIfDifferent(&processor->Saturation, value)) BuildSaturationStage(processor, value);
}

void UpdateHue(ColorProcessor* processor, LONG value) {
  if (ExchangeIfDifferent(&processor->Hue, value)) BuildHueStage(processor, value);
}

void SetBayerPhase(ColorProcessor* processor, LONG value) { InterlockedExchange(&processor->BayerPhase, value); }
void SetColorEnable(ColorProcessor* processor, LONG value) { InterlockedExchange(&processor->ColorEnable, value); }
void SetWhiteBalance(ColorProcessor* processor, LONG value) { InterlockedExchange(&processor->WhiteBalance, value); }
void SetRedGain(ColorProcessor* processor, LONG value) { InterlockedExchange(&processor->RedGain, value); }
void SetGreenGain(ColorProcessor* processor, LONG value) { InterlockedExchange(&processor->GreenGain, value); }
void SetBlueGain(ColorProcessor* processor, LONG value) { InterlockedExchange(&processor->BlueGain, value); }
void SetActiveDotThreshold(ColorProcessor* processor, LONG value) {
  InterlockedExchange(&processor->ActiveDotThreshold, value);
}

// ---------------------------------------------------------------------------------------------
// Creation and release

ColorProcessor* CreateColorProcessor() {
  auto* processor =
      static_cast<ColorProcessor*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ColorProcessor), kColorPoolTag));
  if (processor == nullptr) return nullptr;
  RtlZeroMemory(processor, sizeof(ColorProcessor));
  processor->ConversionPath = kConversionAutomatic;
  InitializeColor(processor);
  return processor;
}

void DestroyColorProcessor(ColorProcessor* processor) {
  if (processor == nullptr) return;
  if (processor->PaddedBuffer != nullptr) {
    ExFreePoolWithTag(processor->PaddedBuffer, kStreamPoolTag);
    processor->PaddedBuffer = nullptr;
  }
  ExFreePoolWithTag(processor, kColorPoolTag);
}
