#include "stream/video_format.h"

void InitializeVideoDataRange(KS_DATARANGE_VIDEO* range, LONG width, LONG height) {
  RtlZeroMemory(range, sizeof(*range));
  range->DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  range->DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  range->DataRange.SubFormat = MEDIASUBTYPE_RGB32;
  range->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  range->bFixedSizeSamples = TRUE;
  range->bTemporalCompression = TRUE;

  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
  caps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  caps.CropGranularityX = 8;
  caps.CropGranularityY = 1;
  caps.CropAlignX = 8;
  caps.CropAlignY = 1;
  caps.OutputGranularityX = 8;
  caps.OutputGranularityY = 1;

  KS_BITMAPINFOHEADER& bmi = range->VideoInfoHeader.bmiHeader;
  bmi.biSize = sizeof(KS_BITMAPINFOHEADER);
  bmi.biPlanes = 1;
  bmi.biBitCount = 32;
  bmi.biCompression = KS_BI_RGB;

  UpdateVideoDataRange(range, width, height);
}

void UpdateVideoDataRange(KS_DATARANGE_VIDEO* range, LONG width, LONG height) {
  const SIZE size = {width, height};
  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
  caps.InputSize = size;
  caps.MinCroppingSize = size;
  caps.MaxCroppingSize = size;
  caps.MinOutputSize = size;
  caps.MaxOutputSize = size;
  caps.MinFrameInterval = kFrameInterval;
  caps.MaxFrameInterval = kFrameInterval;

  KS_VIDEOINFOHEADER& info = range->VideoInfoHeader;
  info.AvgTimePerFrame = kFrameInterval;
  info.rcSource.right = width;
  info.rcSource.bottom = height;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;

  // 32-bit products: 4 bytes a pixel, 30 frames a second of 32 bits (960) or 4 bytes (120).
  const ULONG pixels = static_cast<ULONG>(width) * static_cast<ULONG>(height);
  caps.MinBitsPerSecond = static_cast<LONG>(pixels * 960u);
  caps.MaxBitsPerSecond = static_cast<LONG>(pixels * 960u);
  info.dwBitRate = pixels * 120u;
  range->DataRange.SampleSize = pixels * 4u;
  info.bmiHeader.biSizeImage = pixels * 4u;
}
