// The handler families of the camera property set. Each has the class driver's property-handler
// form; the class driver has checked the item's minimum property and data sizes.
#pragma once

#include "platform/ks.h"
#include "property/camera_property_set.h"

class CameraDevice;

// The camera a request addresses: filter of the request, the filter's device, its context.
// Null when any of them is missing.
CameraDevice* CameraOfRequest(PIRP irp);

// Items 0 to 16, 36 to 43, 45 to 56, 58 and 61 to 70, switching on the item id.
NTSTATUS GeneralPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);

// The four colour values with their clamps.
NTSTATUS BrightnessHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS ContrastHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS SaturationHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS HueHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);

// The fixed ranges: each writes its constant into Value, whatever the request; no device is
// needed.
template <LONG kConstant>
NTSTATUS ConstantHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  if (!data) return STATUS_UNSUCCESSFUL;
  static_cast<CameraPropertyValue*>(data)->Value = kConstant;
  return STATUS_SUCCESS;
}

NTSTATUS RegionHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS SensorRegisterWriteHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
// RawCommand and MemoryByte, switching on the item id.
NTSTATUS BlockHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
