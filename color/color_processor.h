// The per-stream colour state: the conversion's working fields, the live copies of the colour
// settings, the stage matrices and the published fixed-point colour matrix.
//
// Threads: every caller other than the conversion (property requests, pin state changes, the
// settings load, camera control) holds the device's colour mutex around its calls, which
// serialises the stage updates and keeps the record alive while it is used. The conversion
// takes no lock: it reads the settings atomically once per frame and copies FixedMatrix
// through MatrixSequence, so it never sees half of a publication.
#pragma once

#include "platform/wdm.h"

// Which implementation of the per-pixel work a processor uses. Automatic picks the fastest
// the processor offers; the others force one (tests compare them byte for byte).
enum ConversionPath : LONG {
  kConversionAutomatic = 0,
  kConversionScalar = 1,
  kConversionSse2 = 2,
  kConversionAvx2 = 3,
  kConversionAvx512 = 4,
};

struct ColorProcessor {
  // ---- Conversion working state (frame conversion owns these) ----
  PUCHAR RawOrigin;        // sample (0, 0) inside PaddedBuffer
  PUCHAR OutputCursor;     // where the current frame is written
  LONG WorkStride;         // PaddedStride as of the last AllocateWorkBuffer
  LONG GainSnapshot[3];    // red, green, blue gain of the current frame
  ULONG WorkWidth;         // FrameWidth as of the last AllocateWorkBuffer
  ULONG WorkHeight;        // FrameHeight as of the last AllocateWorkBuffer
  LONG MatrixSnapshot[16]; // the current frame's copy of FixedMatrix
  ULONG FrameWidth;
  ULONG FrameHeight;
  ULONG PaddedStride;
  ULONG PaddedSize;
  PUCHAR OutputBuffer;     // W x H x 4 bytes, owned by the stream
  PUCHAR PaddedBuffer;     // the work buffer, owned by this record (tag Kelv)
  LONG ThresholdSnapshot;  // the current frame's defect-pixel threshold (0: pass off)
  LONG ConversionPath;     // one of ConversionPath

  // ---- Colour settings (written by property requests, read by the conversion) ----
  volatile LONG BayerPhase;
  volatile LONG ColorEnable;
  volatile LONG WhiteBalance;
  volatile LONG RedGain;
  volatile LONG GreenGain;
  volatile LONG BlueGain;
  volatile LONG ColorCorrection;
  volatile LONG Brightness;
  volatile LONG Contrast;
  volatile LONG Saturation;
  volatile LONG Hue;

  // Stage matrices, row-major, used only by the thread running an update.
  double CorrectionMatrix[4][4];
  double BrightnessMatrix[4][4];
  double ContrastMatrix[4][4];
  double SaturationMatrix[4][4];
  double HueMatrix[4][4];
  double CompositeMatrix[4][4];

  // Published form, units of 1/64. Written only under MatrixSequence.
  volatile LONG FixedMatrix[16];
  UCHAR SignTable[16];     // filled by the conversion from its snapshot
  volatile LONG ActiveDotThreshold;

  // Odd while a publication is in progress; a snapshot that saw it change is taken again,
  // so a frame never mixes entries of two publications.
  volatile LONG MatrixSequence;
};

// Creation and release. CreateColorProcessor returns a zeroed record (tag IsyR) with the
// creation values set and the matrix published, or null when pool is short.
ColorProcessor* CreateColorProcessor();
// Frees the work buffer (tag Kelv) and the record. Null is accepted.
void DestroyColorProcessor(ColorProcessor* processor);

void InitializeColor(ColorProcessor* processor);

// Stage builders: rebuild one stage from the argument, then publish.
void BuildCorrectionStage(ColorProcessor* processor, LONG enable);
void BuildBrightnessStage(ColorProcessor* processor, LONG value);
void BuildContrastStage(ColorProcessor* processor, LONG value);
void BuildSaturationStage(ColorProcessor* processor, LONG value);
void BuildHueStage(ColorProcessor* processor, LONG value);

// Change-detecting updates: nothing happens when the value is already stored.
void UpdateColorCorrection(ColorProcessor* processor, LONG value);
void UpdateBrightness(ColorProcessor* processor, LONG value);
void UpdateContrast(ColorProcessor* processor, LONG value);
void UpdateSaturation(ColorProcessor* processor, LONG value);
void UpdateHue(ColorProcessor* processor, LONG value);

// Plain stores, picked up by the next frame.
void SetBayerPhase(ColorProcessor* processor, LONG value);
void SetColorEnable(ColorProcessor* processor, LONG value);
void SetWhiteBalance(ColorProcessor* processor, LONG value);
void SetRedGain(ColorProcessor* processor, LONG value);
void SetGreenGain(ColorProcessor* processor, LONG value);
void SetBlueGain(ColorProcessor* processor, LONG value);
void SetActiveDotThreshold(ColorProcessor* processor, LONG value);

// Atomic reads of the live values (property read-back and the conversion's snapshots).
inline LONG ReadColorValue(const volatile LONG* field) { return ReadAcquire(field); }

// 4 x 4 double matrices.
typedef double ColorMatrix[4][4];
// R := Q x P (Q on the left); R may be P or Q.
void MultiplyMatrix(const ColorMatrix p, const ColorMatrix q, ColorMatrix r);
// M := M x T for the elementary rotations about x and y and the shear along z.
void RotateX(ColorMatrix m, double s, double c);
void RotateY(ColorMatrix m, double s, double c);
void ShearZ(ColorMatrix m, double dx, double dy);

// Turns CompositeMatrix into FixedMatrix after recomposing the stages.
void PublishColor(ColorProcessor* processor);

// Copies the last completed publication of FixedMatrix into out, never a mix of two.
void CopyPublishedMatrix(ColorProcessor* processor, LONG out[16]);
