#include "stream/video_format.h"

#include "stream/capture_pin.h"

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

namespace {

// Offsets of the format records: the video-info header follows the 64-byte KSDATAFORMAT in a
// format and the range's fixed part (208 bytes) in a range; its bitmap header starts 48 bytes
// into it.
constexpr ULONG kFormatHeaderBytes = sizeof(KSDATAFORMAT);
constexpr ULONG kVideoInfoFixedBytes = offsetof(KS_VIDEOINFOHEADER, bmiHeader);
constexpr ULONG kRangeBitmapOffset = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) + kVideoInfoFixedBytes;
constexpr ULONG kFormatBitmapOffset = kFormatHeaderBytes + kVideoInfoFixedBytes;

LONGLONG Magnitude(LONG value) { return value < 0 ? -static_cast<LONGLONG>(value) : value; }

}  // namespace

NTSTATUS VideoIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin_instance, PKSDATARANGE caller_range,
                               PKSDATARANGE pin_range, ULONG buffer_size, PVOID data, PULONG data_size) {
  // The class driver has checked the major format, subformat and specifier against the pin's
  // range and hands over a copy of exactly FormatSize bytes.
  if (!IsEqualGUIDAligned(caller_range->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
      caller_range->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
    return STATUS_NO_MATCH;
  }
  const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(caller_range);
  const auto* own = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pin_range);
  // Only the range of the current capture mode matches: same flags, same ConfigCaps.
  if (caller->bFixedSizeSamples != own->bFixedSizeSamples ||
      caller->bTemporalCompression != own->bTemporalCompression ||
      caller->StreamDescriptionFlags != own->StreamDescriptionFlags ||
      caller->MemoryAllocationFlags != own->MemoryAllocationFlags ||
      RtlCompareMemory(&caller->ConfigCaps, &own->ConfigCaps, sizeof(own->ConfigCaps)) != sizeof(own->ConfigCaps)) {
    return STATUS_NO_MATCH;
  }

  // The caller's bitmap header must lie inside its range, and be at least a whole
  // KS_BITMAPINFOHEADER: the result's image size is written into it.
  const ULONG bitmap_size = caller->VideoInfoHeader.bmiHeader.biSize;
  if (bitmap_size < sizeof(KS_BITMAPINFOHEADER) || bitmap_size > 0xFFFFFFFFu - kRangeBitmapOffset ||
      bitmap_size + kRangeBitmapOffset > caller_range->FormatSize) {
    return STATUS_INVALID_PARAMETER;
  }

  const ULONG result_size = kFormatBitmapOffset + bitmap_size;
  if (buffer_size == 0) {
    *data_size = result_size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (buffer_size < result_size) return STATUS_BUFFER_TOO_SMALL;

  *data_size = result_size;
  auto* format = static_cast<PUCHAR>(data);
  RtlCopyMemory(format, pin_range, kFormatHeaderBytes);
  reinterpret_cast<PKSDATAFORMAT>(format)->FormatSize = result_size;
  RtlCopyMemory(format + kFormatHeaderBytes, &caller->VideoInfoHeader, kVideoInfoFixedBytes + bitmap_size);

  // The image size follows the caller's bitmap header; rows are padded to 32 bits.
  auto* bitmap = reinterpret_cast<PKS_BITMAPINFOHEADER>(format + kFormatBitmapOffset);
  const LONGLONG row_bytes = (static_cast<LONGLONG>(bitmap->biBitCount) * bitmap->biWidth + 31) / 32 * 4;
  const LONGLONG image_bytes = row_bytes * Magnitude(bitmap->biHeight);
  const ULONG image_size = static_cast<ULONG>(image_bytes);
  reinterpret_cast<PKSDATAFORMAT>(format)->SampleSize = image_size;
  bitmap->biSizeImage = image_size;
  return STATUS_SUCCESS;
}

NTSTATUS VideoSetDataFormat(PKSPIN pin, PKSDATAFORMAT old_format, PKSMULTIPLE_ITEM old_attributes,
                            const KSDATARANGE* data_range, const KSATTRIBUTE_LIST* attribute_range) {
  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (!format || !IsEqualGUIDAligned(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
      format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    return STATUS_NO_MATCH;
  }
  const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
  const KS_BITMAPINFOHEADER& bitmap = video->VideoInfoHeader.bmiHeader;
  const ULONG bitmap_size = bitmap.biSize;
  if (bitmap_size > 0xFFFFFFFFu - kFormatBitmapOffset || bitmap_size + kFormatBitmapOffset > format->FormatSize) {
    return STATUS_INVALID_PARAMETER;
  }

  const KS_BITMAPINFOHEADER& range_bitmap =
      reinterpret_cast<const KS_DATARANGE_VIDEO*>(data_range)->VideoInfoHeader.bmiHeader;
  if (bitmap.biWidth < range_bitmap.biWidth || Magnitude(bitmap.biHeight) != Magnitude(range_bitmap.biHeight) ||
      bitmap.biCompression != range_bitmap.biCompression) {
    return STATUS_NO_MATCH;
  }
  // Computed in 64 bits: a width whose image does not fit 32 bits is refused, not wrapped
  // into a small size that would pass.
  const ULONGLONG needed = static_cast<ULONGLONG>(bitmap.biWidth) * static_cast<ULONGLONG>(Magnitude(bitmap.biHeight)) * 4u;
  if (bitmap.biSizeImage < needed) return STATUS_INVALID_PARAMETER;

  // The pin's initial format: its context does not exist yet; pin create copies the format.
  if (!old_format) return STATUS_SUCCESS;

  // A change is taken only on a stopped pin, and only then changes the row pitch.
  auto* capture_pin = static_cast<CapturePin*>(pin->Context);
  if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  if (capture_pin) {
    WriteStride(capture_pin, static_cast<ULONG>(bitmap.biWidth) * 4u);
    ULONG bytes = format->FormatSize - kFormatHeaderBytes;
    if (bytes > sizeof(capture_pin->video_info)) bytes = sizeof(capture_pin->video_info);
    RtlCopyMemory(&capture_pin->video_info, &video->VideoInfoHeader, bytes);
  }
  return STATUS_SUCCESS;
}
