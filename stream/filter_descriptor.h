// The capture filter: its descriptor, its one output pin and the filter's own dispatch.
#pragma once

#include "platform/ks.h"

class CameraDevice;

// Fills the camera's own filter descriptor, pin descriptor, data-range list and video data
// range from the driver's templates, the range sized for the camera's current image.
void InitializeStreamDescriptors(CameraDevice* camera);

// Filter dispatch.
NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS FilterClose(PKSFILTER filter, PIRP irp);

// The filter context: only the filter pointer, owned by the filter's object bag.
struct FilterContext {
  PKSFILTER filter;
};
void FreeFilterContext(PVOID context);
