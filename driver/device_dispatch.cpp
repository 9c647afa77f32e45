#include "driver/device_dispatch.h"

#include <new>

#include "camera/region.h"
#include "camera/sensor.h"
#include "driver/camera_device.h"
#include "driver/pool_tags.h"
#include "settings/settings_store.h"
#include "stream/capture_thread.h"
#include "stream/filter_descriptor.h"
#include "usb/usb_setup.h"

namespace {

const KSDEVICE_DISPATCH kDeviceDispatch = {
    DeviceAdd,
    DeviceStart,
    nullptr,  // PostStart
    nullptr,  // QueryStop
    nullptr,  // CancelStop
    DeviceStop,
    nullptr,  // QueryRemove
    nullptr,  // CancelRemove
    nullptr,  // Remove: the object bag releases everything
    DeviceQueryCapabilities,
    nullptr,  // SurpriseRemoval
    nullptr,  // QueryPower
    nullptr,  // SetPower
    nullptr,  // QueryInterface
};

// The one filter's reference string; the class driver takes a writable string.
WCHAR kReferenceString[] = KSCAM_WTEXT("GLOBAL");

void InitializeCameraDevice(CameraDevice* camera, PKSDEVICE device) {
  RtlZeroMemory(&camera->usb, sizeof(camera->usb));
  camera->usb.physical_device = device->PhysicalDeviceObject;
  camera->usb.lower_device = device->NextDeviceObject;
  camera->usb.functional_device = device->FunctionalDeviceObject;
  SetDefaultSettings(&camera->settings);
  KeInitializeMutex(&camera->color_mutex, 0);
  KeInitializeMutex(&camera->control_mutex, 0);

  InitializeStreamDescriptors(camera);
  SetRegion(camera, 0, 0, GetSensorWidth(), GetSensorHeight(), 0);

  KeInitializeSpinLock(&camera->usb.transfer_lock);
  KeInitializeEvent(&camera->usb.frame_done, NotificationEvent, FALSE);
  RtlZeroMemory(camera->register_packet, sizeof(camera->register_packet));
  RtlZeroMemory(camera->frame_request_packet, sizeof(camera->frame_request_packet));
  RtlZeroMemory(camera->stream_command, sizeof(camera->stream_command));
}

}  // namespace

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {
    &kDeviceDispatch,
    0,        // no filter descriptors: the factory is created at Start
    nullptr,
    0,        // Version
    0,        // Flags
};

void FreeCameraDevice(PVOID block) {
  if (!block) return;
  static_cast<CameraDevice*>(block)->~CameraDevice();
  ExFreePoolWithTag(block, kDevicePoolTag);
}

NTSTATUS DeviceAdd(PKSDEVICE device) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CameraDevice), kDevicePoolTag);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, sizeof(CameraDevice));
  auto* camera = new (block) CameraDevice();
  camera->ks_device = device;

  KsAcquireDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, camera, FreeCameraDevice);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    FreeCameraDevice(camera);
    return status;
  }

  device->Context = camera;
  InitializeCameraDevice(camera, device);
  return STATUS_SUCCESS;
}

NTSTATUS DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated) {
  CameraDevice* camera = CameraFromDevice(device);
  if (!camera) return STATUS_INVALID_DEVICE_STATE;

  // A start while started (the system re-evaluating resources) makes neither a second factory
  // nor a second capture record.
  if (!device->Started) {
    KsAcquireDevice(device);
    NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &camera->filter_descriptor,
                                            kReferenceString, nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr,
                                            nullptr);
    if (!NT_SUCCESS(status)) {
      // Without the factory the device offers no filter: the start has failed.
      KsReleaseDevice(device);
      return status;
    }
    // Without a capture record the device still starts; no stream can then run.
    CaptureThread* record = CreateCaptureThread(camera);
    if (record && !NT_SUCCESS(KsAddItemToObjectBag(device->Bag, record, FreeCaptureThread))) {
      FreeCaptureThread(record);
      record = nullptr;
    }
    camera->capture = record;
    KsReleaseDevice(device);
  }

  // A start while started configures again: what the earlier configuration kept is released
  // first instead of being dropped.
  ReleaseUsbConfiguration(&camera->usb);

  NTSTATUS status = ReadDeviceDescriptor(&camera->usb);
  if (NT_SUCCESS(status)) status = ConfigureUsbDevice(&camera->usb);

  // The camera is initialised whatever the USB outcome; its commands then fail quietly.
  InitializeCamera(camera);
  return status;
}

void DeviceStop(PKSDEVICE device, PIRP irp) {
  CameraDevice* camera = CameraFromDevice(device);
  if (!camera) return;
  SaveSettings(camera);
  ReleaseUsbConfiguration(&camera->usb);
  DeconfigureUsbDevice(&camera->usb);
}

NTSTATUS DeviceQueryCapabilities(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities) {
  // The camera is not offered for safe removal.
  capabilities->Removable = 0;
  return STATUS_SUCCESS;
}
