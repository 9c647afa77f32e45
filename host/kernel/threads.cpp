// System threads: real host threads behind waitable, reference-counted thread objects.
//
// PsTerminateSystemThread leaves the start routine with longjmp back to the thread's entry:
// driver code is built without unwind tables, so an exception could not cross its frames, and
// the platform does not unwind them either.
#include <csetjmp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "host/kernel/handle_table.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/internal.h"

struct _OBJECT_TYPE {
  const char* name;
};

// The host's thread object. The dispatcher header comes first so waits treat it as any other
// dispatcher object.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  LONG_PTR references;  // under the registry lock
  PKSTART_ROUTINE start;
  PVOID context;
  NTSTATUS exit_status;
  uint64_t serial;
};

namespace {

_OBJECT_TYPE g_thread_type{"Thread"};
POBJECT_TYPE g_thread_type_pointer = &g_thread_type;

}  // namespace

POBJECT_TYPE* PsThreadType = &g_thread_type_pointer;

namespace kscam::host {
namespace {

struct Registry {
  std::mutex lock;
  std::condition_variable gone;
  std::unordered_map<PKTHREAD, bool> live;  // value: still running
  uint64_t serial = 0;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: threads may end during exit
  return *r;
}

thread_local PKTHREAD t_self = nullptr;
thread_local std::jmp_buf* t_exit_point = nullptr;

void Dereference(PKTHREAD t) {
  Registry& r = registry();
  bool last;
  {
    std::lock_guard guard(r.lock);
    last = --t->references == 0;
    if (last) r.live.erase(t);
  }
  if (last) {
    delete t;
    r.gone.notify_all();
  }
}

// The handle table's entry for a thread: holds one reference until the handle is closed.
class ThreadHandleEntry : public HandleObject {
 public:
  explicit ThreadHandleEntry(PKTHREAD t) : thread_(t) {}
  ~ThreadHandleEntry() override { Dereference(thread_); }
  PKTHREAD thread() const { return thread_; }

 private:
  PKTHREAD thread_;
};

// Kept apart from ThreadMain so that nothing live in the caller is touched after longjmp.
__attribute__((noinline)) void RunStartRoutine(PKTHREAD t) {
  std::jmp_buf exit_point;
  if (setjmp(exit_point) == 0) {
    t_exit_point = &exit_point;
    t->start(t->context);
  }
  t_exit_point = nullptr;
}

void ThreadMain(PKTHREAD t) {
  t_self = t;
  detail::ResetThreadState();
  RunStartRoutine(t);
  CheckThreadBalanced("system thread exit");
  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.live[t] = false;
  }
  detail::SignalObject(&t->Header, 1);
  t_self = nullptr;
  Dereference(t);
}

}  // namespace

namespace detail {

PKTHREAD CurrentSystemThread() { return t_self; }

std::string ThreadsSummary() {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  if (r.live.empty()) return {};
  size_t running = 0;
  for (const auto& [t, run] : r.live) running += run ? 1 : 0;
  return "  " + std::to_string(r.live.size()) + " system thread object(s) alive, " + std::to_string(running) +
         " still running (a thread not waited for, or a handle or reference not released)\n";
}

}  // namespace detail

namespace verifier {

size_t LiveThreadObjects() {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  return r.live.size();
}

uint64_t ThreadCheckpoint() {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  return r.serial;
}

size_t WaitForThreadObjects(uint64_t since, unsigned timeout_ms) {
  Registry& r = registry();
  auto count = [&] {
    size_t n = 0;
    for (const auto& [t, run] : r.live) n += t->serial > since ? 1 : 0;
    return n;
  };
  std::unique_lock guard(r.lock);
  r.gone.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return count() == 0; });
  return count();
}

}  // namespace verifier
}  // namespace kscam::host

using namespace kscam::host;
using verifier::ViolationKind;

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID ClientId,
                                         PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
  detail::EnsureExitCheckRegistered();
  if (CurrentIrql() != PASSIVE_LEVEL) {
    verifier::Report(ViolationKind::IrqlMisuse, "PsCreateSystemThread above PASSIVE_LEVEL");
  }
  if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  if (detail::InjectThreadCreationFailure()) return STATUS_INSUFFICIENT_RESOURCES;
  auto* t = new _KTHREAD{};
  t->Header.Type = ThreadObject;
  t->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
  t->Header.SignalState = 0;
  t->Header.WaitListHead.Flink = t->Header.WaitListHead.Blink = &t->Header.WaitListHead;
  t->references = 2;  // the handle and the running thread
  t->start = StartRoutine;
  t->context = StartContext;
  Registry& r = registry();
  {
    std::lock_guard guard(r.lock);
    t->serial = ++r.serial;
    r.live[t] = true;
  }
  HANDLE handle = InsertHandle(std::make_shared<ThreadHandleEntry>(t));
  try {
    std::thread(ThreadMain, t).detach();
  } catch (const std::system_error&) {
    {
      std::lock_guard guard(r.lock);
      --t->references;  // the thread never ran
    }
    CloseHandle(handle);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(t->serial * 4);
  }
  *ThreadHandle = handle;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  if (t_self == nullptr || t_exit_point == nullptr) {
    verifier::Report(ViolationKind::ThreadMisuse, "PsTerminateSystemThread called outside a system thread");
    return STATUS_INVALID_PARAMETER;
  }
  t_self->exit_status = ExitStatus;
  std::longjmp(*t_exit_point, 1);
}

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE,
                                              PVOID* Object, POBJECT_HANDLE_INFORMATION) {
  std::shared_ptr<HandleObject> entry = LookupHandle(Handle);
  if (!entry) {
    verifier::Report(ViolationKind::ObjectMisuse, "ObReferenceObjectByHandle: handle " + detail::Hex(Handle) + " is not open");
    return STATUS_INVALID_HANDLE;
  }
  auto* th = dynamic_cast<ThreadHandleEntry*>(entry.get());
  if (th == nullptr || (ObjectType != nullptr && ObjectType != g_thread_type_pointer)) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  Registry& r = registry();
  {
    std::lock_guard guard(r.lock);
    ++th->thread()->references;
  }
  *Object = th->thread();
  return STATUS_SUCCESS;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
  auto* t = static_cast<PKTHREAD>(Object);
  Registry& r = registry();
  LONG_PTR left;
  {
    std::lock_guard guard(r.lock);
    if (!r.live.count(t)) {
      verifier::Report(ViolationKind::ObjectMisuse,
                       "ObfDereferenceObject: " + detail::Hex(Object) + " is not a live object");
      return 0;
    }
    left = t->references - 1;
  }
  Dereference(t);
  return left;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
  if (!CloseHandle(Handle)) {
    verifier::Report(ViolationKind::ObjectMisuse, "ZwClose: handle " + detail::Hex(Handle) + " is not open");
    return STATUS_INVALID_HANDLE;
  }
  return STATUS_SUCCESS;
}
