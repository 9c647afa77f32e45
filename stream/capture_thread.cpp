#include "stream/capture_thread.h"

#include <new>

#include "driver/camera_device.h"
#include "driver/pool_tags.h"

CaptureThread* CreateCaptureThread(CameraDevice* device) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CaptureThread), kDevicePoolTag);
  if (!block) return nullptr;
  RtlZeroMemory(block, sizeof(CaptureThread));
  auto* record = new (block) CaptureThread();
  record->device = device;
  KeInitializeEvent(&record->done_event, NotificationEvent, FALSE);
  return record;
}

void FreeCaptureThread(PVOID record) {
  if (record) ExFreePoolWithTag(record, kDevicePoolTag);
}
