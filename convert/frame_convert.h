// Frame conversion: raw 8-bit Bayer frames become 32-bit BGRA images through the padded work
// buffer, defect-pixel removal, gradient-corrected demosaicing, gains and the colour matrix.
#pragma once

#include "color/color_processor.h"
#include "platform/wdm.h"

// Work-buffer geometry for frames of width x height; allocation follows separately.
void SetFrameSize(ColorProcessor* processor, ULONG width, ULONG height);
// Replaces the work buffer (tag Kelv) with one of PaddedSize bytes and adopts the geometry.
// On failure PaddedBuffer is null and ConvertFrame does nothing.
NTSTATUS AllocateWorkBuffer(ColorProcessor* processor);
// Frees the work buffer (the stream's buffers going away); ConvertFrame then does nothing
// until the next AllocateWorkBuffer.
void ReleaseWorkBuffer(ColorProcessor* processor);

// Converts one raw frame into OutputBuffer. raw + offset is sample (0, 0); pitch is the bytes
// per raw line (at least the width).
void ConvertFrame(ColorProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch);

// The steps of ConvertFrame, each over the whole frame.
void LoadRawFrame(ColorProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch);
// Uses ThresholdSnapshot: runs only while it is above 0.
void CorrectHotPixels(ColorProcessor* processor);

void DemosaicColorGRBG(ColorProcessor* processor);
void DemosaicColorBGGR(ColorProcessor* processor);
void DemosaicColorRGGB(ColorProcessor* processor);
void DemosaicColorGBRG(ColorProcessor* processor);
void DemosaicGrayGRBG(ColorProcessor* processor);
void DemosaicGrayBGGR(ColorProcessor* processor);
void DemosaicGrayRGGB(ColorProcessor* processor);
void DemosaicGrayGBRG(ColorProcessor* processor);
void MeasureWhiteBalanceGRBG(ColorProcessor* processor, LONG* red, LONG* green, LONG* blue);
void MeasureWhiteBalanceBGGR(ColorProcessor* processor, LONG* red, LONG* green, LONG* blue);
void MeasureWhiteBalanceRGGB(ColorProcessor* processor, LONG* red, LONG* green, LONG* blue);
void MeasureWhiteBalanceGBRG(ColorProcessor* processor, LONG* red, LONG* green, LONG* blue);

// The variant for a Bayer phase (0 GRBG, 1 BGGR, 2 RGGB, anything else GBRG).
void DemosaicColor(ColorProcessor* processor, LONG phase);
void DemosaicGray(ColorProcessor* processor, LONG phase);
void MeasureWhiteBalance(ColorProcessor* processor, LONG phase, LONG* red, LONG* green, LONG* blue);

// Implementation choice: kConversionAutomatic uses the fastest the processor offers; a forced
// path the processor lacks falls back to the next narrower one.
void SetConversionPath(ColorProcessor* processor, LONG path);
// Whether this processor can run a path (scalar and SSE2 always can).
bool ConversionPathAvailable(LONG path);
// The path a request runs on this processor (never kConversionAutomatic). Only a failed save
// of the extended state makes a frame run narrower.
LONG ResolveConversionPath(LONG path);
