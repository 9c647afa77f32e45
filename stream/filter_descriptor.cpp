#include "stream/filter_descriptor.h"

#include "driver/camera_device.h"
#include "driver/pool_tags.h"
#include "property/camera_property_set.h"
#include "settings/settings_store.h"
#include "stream/capture_pin.h"
#include "stream/video_format.h"

namespace {

const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};

const GUID kFilterCategories[2] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

// Frame sizes are replaced by each pin with its image size.
const KSALLOCATOR_FRAMING_EX kAllocatorFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{
        KSMEMORY_TYPE_KERNEL_NONPAGED,
        GUID_NULL,  // BusType
        0,          // MemoryFlags
        0,          // BusFlags
        KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY | KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY,
        2,                         // Frames
        {0},                       // FileAlignment: bytes
        0,                         // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},        // PhysicalRange
        {{0x2000, 0x2000, 1}, 0, 0},  // FramingRange, InPlaceWeight, NotInPlaceWeight
    }},
};

}  // namespace

void InitializeStreamDescriptors(CameraDevice* camera) {
  InitializeVideoDataRange(&camera->video_data_range, camera->image_width, camera->image_height);
  camera->data_ranges[0] = &camera->video_data_range.DataRange;

  KSPIN_DESCRIPTOR_EX& pin = camera->pin_descriptor;
  RtlZeroMemory(&pin, sizeof(pin));
  pin.Dispatch = &CapturePinDispatch;
  pin.AutomationTable = nullptr;
  pin.PinDescriptor.DataRangesCount = 1;
  pin.PinDescriptor.DataRanges = camera->data_ranges;
  pin.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
  pin.PinDescriptor.Category = &PINNAME_VIDEO_CAPTURE;
  pin.PinDescriptor.Name = &PINNAME_VIDEO_CAPTURE;
  pin.Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
              KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING;
  pin.InstancesPossible = 1;
  pin.InstancesNecessary = 1;
  pin.AllocatorFraming = &kAllocatorFraming;
  pin.IntersectHandler = VideoIntersectHandler;

  KSFILTER_DESCRIPTOR& filter = camera->filter_descriptor;
  RtlZeroMemory(&filter, sizeof(filter));
  filter.Dispatch = &kFilterDispatch;
  filter.AutomationTable = &CameraAutomationTable;
  filter.Version = KSFILTER_DESCRIPTOR_VERSION;
  filter.Flags = 0;
  filter.ReferenceGuid = &KSNAME_Filter;
  filter.PinDescriptorsCount = 1;
  filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  filter.PinDescriptors = &camera->pin_descriptor;
  filter.CategoriesCount = 2;
  filter.Categories = kFilterCategories;
  filter.NodeDescriptorsCount = 0;
  filter.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
}

void FreeFilterContext(PVOID context) {
  if (context) ExFreePoolWithTag(context, kDevicePoolTag);
}

NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp) {
  auto* context = static_cast<FilterContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FilterContext), kDevicePoolTag));
  if (!context) return STATUS_INSUFFICIENT_RESOURCES;
  context->filter = filter;
  NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, FreeFilterContext);
  if (!NT_SUCCESS(status)) {
    FreeFilterContext(context);
    return status;
  }
  filter->Context = context;
  return status;
}

NTSTATUS FilterClose(PKSFILTER filter, PIRP irp) {
  // Every close saves, so the registry holds the settings as the last application left them.
  CameraDevice* camera = CameraFromDevice(KsFilterGetDevice(filter));
  if (camera) SaveSettings(camera);
  return STATUS_SUCCESS;
}
