// Shared between the kernel-service files of the host; not for other host parts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/kernel/verifier.h"
#include "platform/wdm.h"

namespace kscam::host::detail {

// Pool allocation behind ExAllocatePoolWithTag and the kernel's own IRP/MDL allocations.
// `injectable` says whether low-resource simulation may fail it.
PVOID PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool injectable, bool io_allocation);
// Frees a block; `expected_tag` 0 means any tag. Returns false (and reports) when the pointer
// is not a live block; `what` names the caller in reports.
bool PoolFree(PVOID p, ULONG expected_tag, const char* what);
// Whether the low-resource simulation fails this IRP/MDL-level allocation attempt.
bool InjectFailure(ULONG tag, bool io_allocation);
bool InjectThreadCreationFailure();

// Identity of the calling thread for mutex ownership: the system thread's object, or a
// per-thread token for other host threads.
PKTHREAD CurrentThreadIdentity();
// The calling system thread's object, or null.
PKTHREAD CurrentSystemThread();

// Per-thread counters checked when a thread ends.
int& MutexesHeld();
int XStateDepth();
void ResetThreadState();

// Dispatcher: sets an object's SignalState and wakes its waiters.
void SignalObject(DISPATCHER_HEADER* header, LONG state);

void EnsureExitCheckRegistered();
std::string ThreadsSummary();

inline std::string Hex(const void* p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%p", p);
  return buf;
}
inline std::string Hex(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace kscam::host::detail
