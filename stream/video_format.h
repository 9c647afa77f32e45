// The video format the capture pin advertises.
#pragma once

#include "platform/ks.h"

// Frame interval advertised for every capture mode, in 100 ns units (30 frames a second).
constexpr LONGLONG kFrameInterval = 333333;

// Fills `range` with the constant part of the pin's one data range (32-bit RGB, VideoInfo)
// and sizes it for width x height.
void InitializeVideoDataRange(KS_DATARANGE_VIDEO* range, LONG width, LONG height);

// Rewrites the size-dependent fields of `range` for an image of width x height; every other
// field keeps its value. Sizes are 32-bit products, as the format fields are.
void UpdateVideoDataRange(KS_DATARANGE_VIDEO* range, LONG width, LONG height);
