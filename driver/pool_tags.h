// The driver's pool tags. Every block is allocated from non-paged pool under one of these and
// freed under the same tag.
#pragma once

#include "platform/wdm.h"

// Device, capture-thread, pin and filter contexts.
constexpr ULONG kDevicePoolTag = KSCAM_POOL_TAG('K', 'C', 'N', 'w');
// USB requests and buffers.
constexpr ULONG kUsbPoolTag = KSCAM_POOL_TAG('Z', 'o', 'r', 'b');
// Stream buffers, the conversion's work buffer and the pin's private descriptors.
constexpr ULONG kStreamPoolTag = KSCAM_POOL_TAG('K', 'e', 'l', 'v');
// The colour processor.
constexpr ULONG kColorPoolTag = KSCAM_POOL_TAG('I', 's', 'y', 'R');
