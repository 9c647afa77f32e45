// The host's driver verifier: records every misuse of the kernel services it can see, tracks
// pool per tag for leak reports, and simulates low-resource conditions.
//
// Violations are printed to stderr when they happen and kept until a caller takes them. A
// test run installs the GoogleTest listener (verifier_gtest.h) so that a violation or a leak
// fails the test that caused it; at process end anything still outstanding (pool blocks, thread
// objects, violations nobody took) is reported and the process exits with status 1.
//
// Pool is the driver's memory: the rest of the host keeps its own bookkeeping in ordinary heap
// memory, so that every pool block a check finds belongs to driver code (or to the IRPs and
// MDLs it asked for, under the kernel's 'Irp ', 'Mdl ' and 'IoSb' tags).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wdm.h"

namespace kscam::host::verifier {

enum class ViolationKind {
  Leak,                    // pool still allocated at a leak check
  FreeWithWrongTag,        // ExFreePoolWithTag with a tag other than the allocation's
  DoubleFree,              // pool, IRP or MDL freed again
  FreeUnknownPointer,      // free of something that was never allocated from pool
  PoolOverrun,             // the guard bytes after a block were overwritten
  IrpCompletedTwice,       // completed while no driver owned it
  IrpFreedWhilePending,    // freed while a lower driver still owned it
  IrpMisuse,               // other IRP rule broken (stack exhausted, status pending, ...)
  MdlMisuse,               // partial MDL outside its source, too small, unknown MDL
  BlockingWaitAtDispatch,  // a wait that may block at DISPATCH_LEVEL or above
  IrqlMisuse,              // spin lock released at the wrong level, IRQL left raised, ...
  CriticalRegionUnbalanced,
  XStateUnbalanced,        // extended state save/restore not paired or not nested
  MutexMisuse,             // released by a thread that does not own it, held at thread end
  SpinLockMisuse,          // recursive acquire, release by a non-owner
  ObjectMisuse,            // bad handle, unknown object, wait on an unknown object type
  ThreadMisuse,            // PsTerminateSystemThread outside a system thread, ...
  Other,                   // reported by other host parts
};

const char* KindName(ViolationKind kind);

struct Violation {
  ViolationKind kind;
  std::string message;
};

// Records a violation (other host parts report their own checks through this too). With
// KSCAM_VERIFIER_BACKTRACE=1 in the environment the stack of each violation is printed too.
void Report(ViolationKind kind, std::string message);

std::vector<Violation> Violations();    // a copy; they stay recorded
std::vector<Violation> TakeViolations();  // returns and forgets them
void ClearViolations();
size_t ViolationCount();
bool HasViolation(ViolationKind kind);

// ---- Pool ---------------------------------------------------------------------------------

// "KCNw" for KSCAM_POOL_TAG('K','C','N','w'); unprintable bytes shown as '.'.
std::string TagName(ULONG tag);

// Host tags of the kernel's own allocations, so leak checks can include them.
inline constexpr ULONG kIrpTag = KSCAM_POOL_TAG('I', 'r', 'p', ' ');
inline constexpr ULONG kMdlTag = KSCAM_POOL_TAG('M', 'd', 'l', ' ');
inline constexpr ULONG kSystemBufferTag = KSCAM_POOL_TAG('I', 'o', 'S', 'b');

struct Allocation {
  const void* address;
  size_t size;
  ULONG tag;
  uint64_t serial;  // order of allocation, from 1
};

// The serial of the newest allocation so far: allocations after it have larger serials.
uint64_t Checkpoint();

// Blocks still allocated with a serial above `since`, of the given tags (all tags if empty).
std::vector<Allocation> Outstanding(uint64_t since = 0, std::initializer_list<ULONG> tags = {});
std::vector<Allocation> Outstanding(uint64_t since, const std::vector<ULONG>& tags);

// Reports one Leak violation naming `scope` when blocks of `tags` allocated after `since` are
// still outstanding. Each block is reported once (later checks and the exit report skip it).
// Returns the number of leaked blocks.
size_t CheckLeaks(std::string_view scope, uint64_t since, const std::vector<ULONG>& tags = {});

// A leak scope: remembers the checkpoint when created; Check() reports what the scope leaked.
// The KS host keeps one per device from Add to removal.
class LeakScope {
 public:
  LeakScope(std::string name, std::vector<ULONG> tags) : name_(std::move(name)), tags_(std::move(tags)), since_(Checkpoint()) {}
  size_t Check() const { return CheckLeaks(name_, since_, tags_); }
  uint64_t since() const { return since_; }

 private:
  std::string name_;
  std::vector<ULONG> tags_;
  uint64_t since_;
};

struct TagStats {
  ULONG tag;
  size_t outstanding_blocks;
  size_t outstanding_bytes;
  size_t peak_bytes;
  uint64_t allocations;  // successful allocations in total
};
std::vector<TagStats> PoolStats();

// ---- Low-resource simulation -----------------------------------------------------------------
// Allocation attempts counted here are ExAllocatePoolWithTag and, unless switched off,
// IoAllocateIrp, IoAllocateMdl and IoBuildDeviceIoControlRequest.

// The n-th allocation attempt from now fails (1 = the next one). One shot.
void FailNthAllocation(uint64_t n);
// Every allocation with this tag fails until cleared.
void FailAllocationsWithTag(ULONG tag);
// A seeded pseudo-random share (0.0 .. 1.0) of all allocations fails.
void FailRandomShare(uint64_t seed, double share);
// The next `count` PsCreateSystemThread calls fail with STATUS_INSUFFICIENT_RESOURCES.
void FailThreadCreation(unsigned count = 1);
// Whether IRP and MDL allocations take part in the simulation (default: they do).
void SetIoAllocationsCanFail(bool enabled);
// Back to normal: nothing fails.
void ResetFaultInjection();

uint64_t AllocationAttempts();  // since process start, failed ones included

// Runs `scenario` once with nothing failing to count its allocation attempts (n), then n more
// times with the 1st, 2nd, ... n-th attempt failing. Returns n. The scenario must undo what it
// did each time; what it leaks or breaks shows in the usual checks.
uint64_t RunWithEachAllocationFailing(const std::function<void()>& scenario);
uint64_t InjectedFailures();    // since process start

// ---- Threads and objects ---------------------------------------------------------------------

// System thread objects still alive (running, or referenced by a handle or pointer).
size_t LiveThreadObjects();
// Thread objects created after `since` (see ThreadCheckpoint) still alive after waiting up to
// `timeout_ms` for them to go.
size_t WaitForThreadObjects(uint64_t since, unsigned timeout_ms);
uint64_t ThreadCheckpoint();

// ---- Reports ---------------------------------------------------------------------------------

// What the verifier would report now: outstanding pool (unreported), live thread objects,
// violations not yet taken. Empty when clean.
std::string Summary();
bool Clean();

// The report and non-zero exit status at process end (on by default).
void SetExitCheck(bool enabled);

}  // namespace kscam::host::verifier
