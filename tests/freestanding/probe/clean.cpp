// A driver-style file that keeps the rules: freestanding headers and platform calls only.
#include <cstdint>

#include "platform/wdm.h"

PVOID ProbeAllocate(SIZE_T bytes) { return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, KSCAM_POOL_TAG('P', 'r', 'b', 'p')); }
