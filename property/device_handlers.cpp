#include "camera/region.h"
#include "driver/camera_device.h"
#include "property/property_handlers.h"
#include "usb/camera_control.h"
#include "usb/command_packets.h"

NTSTATUS RegionHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraDevice* camera = CameraOfRequest(irp);
  if (!camera || !request || !data) return STATUS_UNSUCCESSFUL;
  const auto* region = static_cast<const CameraRegionValue*>(data);
  // The region and the settings that follow it change as one camera-control operation. A
  // locked region or an unknown mode is ignored; the request succeeds either way.
  CameraControlLock lock(camera);
  SetRegion(camera, region->X, region->Y, region->Width, region->Height, region->SubSample);
  return STATUS_SUCCESS;
}

NTSTATUS SensorRegisterWriteHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraDevice* camera = CameraOfRequest(irp);
  if (!camera || !request || !data) return STATUS_UNSUCCESSFUL;
  // Write-only: there is nothing to read back.
  if (request->Flags != KSPROPERTY_TYPE_SET) return STATUS_UNSUCCESSFUL;
  const auto* value = static_cast<const CameraRegisterValue*>(data);
  return WriteSensorRegister(camera, static_cast<USHORT>(value->Address), static_cast<USHORT>(value->Value))
             ? STATUS_SUCCESS
             : STATUS_UNSUCCESSFUL;
}

NTSTATUS BlockHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraDevice* camera = CameraOfRequest(irp);
  if (!camera || !request || !data) return STATUS_UNSUCCESSFUL;
  auto* block = static_cast<CameraBlockValue*>(data);
  const bool set = request->Flags == KSPROPERTY_TYPE_SET;
  switch (request->Id) {
    case kPropRawCommand:
      if (!set) return STATUS_UNSUCCESSFUL;
      // No reply is read; whether the packet went out is not reported.
      SendRawCommand(camera, block->Count, block->Payload);
      return STATUS_SUCCESS;
    case kPropMemoryByte: {
      CameraControlLock lock(camera);
      if (set) {
        camera->access_address = block->Address;
      } else {
        // Only the first payload byte is written, and only when the read succeeded.
        ReadDeviceMemoryByte(camera, &block->Payload[0]);
      }
      return STATUS_SUCCESS;
    }
    default: return STATUS_UNSUCCESSFUL;
  }
}
