// The video format the capture pin advertises, format intersection and the checks of a format
// set on the pin.
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

// The pin's intersect handler: turns a caller's KS_DATARANGE_VIDEO that matches the pin's
// range (same flags, same ConfigCaps) into a KS_DATAFORMAT_VIDEOINFOHEADER with the caller's
// size and frame interval.
NTSTATUS VideoIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin_instance, PKSDATARANGE caller_range,
                               PKSDATARANGE pin_range, ULONG buffer_size, PVOID data, PULONG data_size);

// The pin's SetDataFormat: checks the pin's new ConnectionFormat against its data range; for a
// change on an existing pin (old format given) also the pin's state, and adopts the format.
NTSTATUS VideoSetDataFormat(PKSPIN pin, PKSDATAFORMAT old_format, PKSMULTIPLE_ITEM old_attributes,
                            const KSDATARANGE* data_range, const KSATTRIBUTE_LIST* attribute_range);
