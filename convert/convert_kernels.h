// What the frame-level conversion hands to the per-pixel implementations (scalar, SSE2, AVX2,
// AVX-512), and the table each implementation provides. Every implementation gives the same
// bytes; they differ only in speed.
#pragma once

#include "platform/wdm.h"

// Constants of one frame, prepared once by the frame-level code.
struct PixelSetup {
  const UCHAR* origin;  // sample (0, 0) of the work buffer
  LONG stride;          // bytes per work-buffer line
  ULONG width;
  ULONG height;
  ULONG row_shift;      // Bayer phase bit 0: the mosaic moved down one line
  ULONG col_shift;      // Bayer phase bit 1: the mosaic moved right one column
  USHORT gain[3];       // low 16 bits of the red, green, blue gains (1/128 units)
  // Colour matrix split by the sign table: entry [i][j] weights input i (3: the constant)
  // into output j; exactly one of positive/negative holds the 16-bit magnitude.
  USHORT positive[4][3];
  USHORT negative[4][3];
  // How wide the exact matrix sums need to be: 0 when every sum fits 16 bits, 1 when the
  // input weights fit signed 16 bits (32-bit sums from 16-bit products), 2 otherwise.
  LONG matrix_width;
  bool stream_output;   // output lines are 16-byte aligned: non-temporal stores may be used
};

// Raw samples to copy into the work buffer while a line is worked on, so that the copy
// overlaps the arithmetic instead of waiting for memory on its own. The target is never a
// line the work reads; bytes 0 copies nothing.
struct LineCopy {
  const UCHAR* from;
  UCHAR* to;
  ULONG bytes;
};

// Line-level operations. A line pointer is sample (0, y) of the work buffer.
struct ConversionKernels {
  // Defect-pixel pass over columns 2 .. width - 3 of one line (2 <= y <= height - 3).
  void (*correct_line)(UCHAR* line, LONG stride, ULONG width, LONG threshold);
  // One output line of width pixels (BGRA) at out, and the copy. kept is the same line's
  // keep of the measurement (below), or null.
  void (*color_line)(const PixelSetup& setup, ULONG y, UCHAR* out, const LineCopy& copy, const UCHAR* kept);
  void (*gray_line)(const PixelSetup& setup, ULONG y, UCHAR* out, const LineCopy& copy, const UCHAR* kept);
  // Adds the line's interpolated red, green, blue (before gains) to sums, and does the copy.
  // With keep, the implementation may also keep its interpolation there (at most 2 bytes a
  // pixel) for the output pass of the same frame, when the samples do not change in between.
  void (*measure_line)(const PixelSetup& setup, ULONG y, ULONG64 sums[3], const LineCopy& copy, UCHAR* keep);
  // Orders the frame's non-temporal stores before the frame is handed on.
  void (*finish)();
};

const ConversionKernels& ScalarKernels();
const ConversionKernels& Sse2Kernels();
const ConversionKernels& Avx2Kernels();
const ConversionKernels& Avx512Kernels();

// The scalar reference of one pixel's interpolation, shared with the tests of the vector code.
struct PixelRgb {
  LONG r, g, b;
};
PixelRgb InterpolatePixel(const PixelSetup& setup, LONG x, LONG y);
