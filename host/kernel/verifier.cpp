// Violation records, the summary report and the check at process end.
#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "host/kernel/host_kernel.h"
#include "host/kernel/internal.h"

namespace kscam::host {
namespace {

struct Records {
  std::mutex lock;
  std::vector<verifier::Violation> violations;
  std::atomic<bool> exit_check{true};
};

Records& records() {
  static Records* r = new Records;  // never destroyed: used by the exit report
  return *r;
}

void ExitReport() {
  if (!records().exit_check.load()) return;
  std::string summary = verifier::Summary();
  if (summary.empty()) return;
  fflush(stdout);
  fprintf(stderr, "kscam verifier: problems outstanding at process end:\n%s", summary.c_str());
  fflush(stderr);
  _exit(1);
}

}  // namespace

namespace detail {

void EnsureExitCheckRegistered() {
  static std::once_flag once;
  std::call_once(once, [] { atexit(ExitReport); });
}

}  // namespace detail

namespace verifier {

const char* KindName(ViolationKind kind) {
  switch (kind) {
    case ViolationKind::Leak: return "leak";
    case ViolationKind::FreeWithWrongTag: return "free with wrong tag";
    case ViolationKind::DoubleFree: return "double free";
    case ViolationKind::FreeUnknownPointer: return "free of unknown pointer";
    case ViolationKind::PoolOverrun: return "pool overrun";
    case ViolationKind::IrpCompletedTwice: return "IRP completed twice";
    case ViolationKind::IrpFreedWhilePending: return "IRP freed while pending";
    case ViolationKind::IrpMisuse: return "IRP misuse";
    case ViolationKind::MdlMisuse: return "MDL misuse";
    case ViolationKind::BlockingWaitAtDispatch: return "blocking wait at DISPATCH_LEVEL";
    case ViolationKind::IrqlMisuse: return "IRQL misuse";
    case ViolationKind::CriticalRegionUnbalanced: return "unbalanced critical region";
    case ViolationKind::XStateUnbalanced: return "unbalanced extended state save";
    case ViolationKind::MutexMisuse: return "mutex misuse";
    case ViolationKind::SpinLockMisuse: return "spin lock misuse";
    case ViolationKind::ObjectMisuse: return "object misuse";
    case ViolationKind::ThreadMisuse: return "thread misuse";
    case ViolationKind::Other: return "other";
  }
  return "?";
}

void Report(ViolationKind kind, std::string message) {
  detail::EnsureExitCheckRegistered();
  fprintf(stderr, "kscam verifier: %s: %s\n", KindName(kind), message.c_str());
  static const bool backtraces = [] {
    const char* v = getenv("KSCAM_VERIFIER_BACKTRACE");
    return v != nullptr && v[0] == '1';
  }();
  if (backtraces) {
    void* frames[32];
    int n = backtrace(frames, 32);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
  }
  Records& r = records();
  std::lock_guard guard(r.lock);
  r.violations.push_back(Violation{kind, std::move(message)});
}

std::vector<Violation> Violations() {
  Records& r = records();
  std::lock_guard guard(r.lock);
  return r.violations;
}

std::vector<Violation> TakeViolations() {
  Records& r = records();
  std::lock_guard guard(r.lock);
  std::vector<Violation> out;
  out.swap(r.violations);
  return out;
}

void ClearViolations() { TakeViolations(); }

size_t ViolationCount() {
  Records& r = records();
  std::lock_guard guard(r.lock);
  return r.violations.size();
}

bool HasViolation(ViolationKind kind) {
  Records& r = records();
  std::lock_guard guard(r.lock);
  for (const Violation& v : r.violations)
    if (v.kind == kind) return true;
  return false;
}

std::string Summary() {
  std::string out;
  std::vector<Allocation> live = Outstanding(0, {});
  size_t unreported = 0;
  std::string blocks;
  for (const Allocation& a : live) {
    ++unreported;
    if (unreported <= 20) {
      blocks += "    " + TagName(a.tag) + " " + std::to_string(a.size) + " bytes at " + detail::Hex(a.address) +
                " (#" + std::to_string(a.serial) + ")\n";
    }
  }
  if (unreported > 0) {
    out += "  " + std::to_string(unreported) + " pool block(s) still allocated:\n" + blocks;
    if (unreported > 20) out += "    ...\n";
  }
  out += detail::ThreadsSummary();
  std::vector<Violation> v = Violations();
  if (!v.empty()) {
    out += "  " + std::to_string(v.size()) + " violation(s):\n";
    for (const Violation& x : v) out += std::string("    ") + KindName(x.kind) + ": " + x.message + "\n";
  }
  return out;
}

bool Clean() { return Summary().empty(); }

void SetExitCheck(bool enabled) {
  detail::EnsureExitCheckRegistered();
  records().exit_check.store(enabled);
}

}  // namespace verifier
}  // namespace kscam::host
