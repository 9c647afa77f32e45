// The device dispatch the class driver calls for each camera, and the driver's descriptor.
#pragma once

#include "platform/ks.h"

extern const KSDEVICE_DESCRIPTOR kDeviceDescriptor;

NTSTATUS DeviceAdd(PKSDEVICE device);
NTSTATUS DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated);
void DeviceStop(PKSDEVICE device, PIRP irp);
NTSTATUS DeviceQueryCapabilities(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities);

// Object-bag free callback of the camera; ignores null.
void FreeCameraDevice(PVOID camera);
