// Non-paged pool: 16-byte aligned blocks tracked per tag, with guard bytes after each block.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <unordered_map>
#include <unordered_set>

#include "host/kernel/host_kernel.h"
#include "host/kernel/internal.h"

namespace kscam::host {
namespace {

constexpr size_t kAlign = 16;
constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xFD;
constexpr unsigned char kFreshByte = 0xA5;   // new blocks are not zeroed on the platform either
constexpr size_t kRememberFreed = 1 << 16;  // freed addresses kept to tell double frees apart

struct Block {
  size_t size;
  ULONG tag;
  uint64_t serial;
  bool reported;  // already named in a leak report
};

struct Stats {
  size_t blocks = 0;
  size_t bytes = 0;
  size_t peak = 0;
  uint64_t allocations = 0;
};

struct Pool {
  std::mutex lock;
  std::unordered_map<uintptr_t, Block> live;
  std::unordered_set<uintptr_t> freed;
  std::deque<uintptr_t> freed_order;
  std::map<ULONG, Stats> stats;
  uint64_t serial = 0;

  // Low-resource simulation.
  uint64_t attempts = 0;
  uint64_t injected = 0;
  uint64_t fail_at = 0;  // attempt number that fails, 0 = none
  std::unordered_set<ULONG> fail_tags;
  double share = 0;
  std::mt19937_64 rng;
  unsigned fail_threads = 0;
  bool io_can_fail = true;
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: the exit report runs after static destructors
  return *p;
}

size_t Rounded(size_t size) { return (size + kAlign - 1) / kAlign * kAlign; }

// Called with the pool lock held.
bool ShouldFail(Pool& p, ULONG tag, bool io_allocation) {
  if (io_allocation && !p.io_can_fail) return false;
  uint64_t n = ++p.attempts;
  bool fail = false;
  if (p.fail_at != 0 && n == p.fail_at) {
    fail = true;
    p.fail_at = 0;
  }
  if (p.fail_tags.count(tag)) fail = true;
  if (p.share > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(p.rng) < p.share) fail = true;
  if (fail) ++p.injected;
  return fail;
}

}  // namespace

namespace detail {

bool InjectFailure(ULONG tag, bool io_allocation) {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  return ShouldFail(p, tag, io_allocation);
}

bool InjectThreadCreationFailure() {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  if (p.fail_threads == 0) return false;
  --p.fail_threads;
  ++p.injected;
  return true;
}

PVOID PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool injectable, bool io_allocation) {
  EnsureExitCheckRegistered();
  if (type == PagedPool && CurrentIrql() > APC_LEVEL) {
    verifier::Report(verifier::ViolationKind::IrqlMisuse,
                     "paged pool allocated at IRQL " + std::to_string(CurrentIrql()) + " (tag " +
                         verifier::TagName(tag) + ")");
  }
  if (CurrentIrql() > DISPATCH_LEVEL) {
    verifier::Report(verifier::ViolationKind::IrqlMisuse, "pool allocated above DISPATCH_LEVEL");
  }
  Pool& p = pool();
  {
    std::lock_guard guard(p.lock);
    if (injectable && ShouldFail(p, tag, io_allocation)) return nullptr;
  }
  if (size > (SIZE_T(1) << 40)) return nullptr;
  size_t body = Rounded(size == 0 ? 1 : size);
  auto* mem = static_cast<unsigned char*>(std::aligned_alloc(kAlign, body + kGuard));
  if (mem == nullptr) return nullptr;
  memset(mem, kFreshByte, size);
  memset(mem + size, kGuardByte, body + kGuard - size);
  std::lock_guard guard(p.lock);
  uintptr_t key = reinterpret_cast<uintptr_t>(mem);
  p.live[key] = Block{size, tag, ++p.serial, false};
  p.freed.erase(key);  // in use again; its old entry in freed_order is skipped when it expires
  Stats& s = p.stats[tag];
  s.blocks++;
  s.bytes += size;
  s.allocations++;
  if (s.bytes > s.peak) s.peak = s.bytes;
  return mem;
}

bool PoolFree(PVOID ptr, ULONG expected_tag, const char* what) {
  EnsureExitCheckRegistered();
  if (ptr == nullptr) {
    verifier::Report(verifier::ViolationKind::FreeUnknownPointer, std::string(what) + " of a null pointer");
    return false;
  }
  Pool& p = pool();
  uintptr_t key = reinterpret_cast<uintptr_t>(ptr);
  Block block;
  {
    std::unique_lock guard(p.lock);
    auto it = p.live.find(key);
    if (it == p.live.end()) {
      bool again = p.freed.count(key) != 0;
      guard.unlock();
      if (again) {
        verifier::Report(verifier::ViolationKind::DoubleFree,
                         std::string(what) + ": " + detail::Hex(ptr) + " was already freed");
      } else {
        verifier::Report(verifier::ViolationKind::FreeUnknownPointer,
                         std::string(what) + ": " + detail::Hex(ptr) + " is not a pool block");
      }
      return false;
    }
    block = it->second;
    p.live.erase(it);
    p.freed.insert(key);
    p.freed_order.push_back(key);
    while (p.freed_order.size() > kRememberFreed) {
      uintptr_t old = p.freed_order.front();
      p.freed_order.pop_front();
      if (!p.live.count(old)) p.freed.erase(old);
    }
    Stats& s = p.stats[block.tag];
    s.blocks--;
    s.bytes -= block.size;
  }
  if (expected_tag != 0 && expected_tag != block.tag) {
    verifier::Report(verifier::ViolationKind::FreeWithWrongTag,
                     std::string(what) + ": block " + detail::Hex(ptr) + " of tag " + verifier::TagName(block.tag) +
                         " freed with tag " + verifier::TagName(expected_tag));
  }
  auto* mem = static_cast<unsigned char*>(ptr);
  size_t body = Rounded(block.size == 0 ? 1 : block.size);
  for (size_t i = block.size; i < body + kGuard; ++i) {
    if (mem[i] != kGuardByte) {
      verifier::Report(verifier::ViolationKind::PoolOverrun,
                       "block " + detail::Hex(ptr) + " of tag " + verifier::TagName(block.tag) + " (" +
                           std::to_string(block.size) + " bytes) was written past its end at offset " +
                           std::to_string(i));
      break;
    }
  }
  memset(mem, 0xDD, block.size);  // stale pointers read garbage, not the old contents
  std::free(mem);
  return true;
}

}  // namespace detail

namespace verifier {

std::string TagName(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return s;
}

uint64_t Checkpoint() {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  return p.serial;
}

std::vector<Allocation> Outstanding(uint64_t since, const std::vector<ULONG>& tags) {
  Pool& p = pool();
  std::vector<Allocation> out;
  std::lock_guard guard(p.lock);
  for (const auto& [key, block] : p.live) {
    if (block.serial <= since) continue;
    if (!tags.empty() && std::find(tags.begin(), tags.end(), block.tag) == tags.end()) continue;
    out.push_back(Allocation{reinterpret_cast<const void*>(key), block.size, block.tag, block.serial});
  }
  std::sort(out.begin(), out.end(), [](const Allocation& a, const Allocation& b) { return a.serial < b.serial; });
  return out;
}

std::vector<Allocation> Outstanding(uint64_t since, std::initializer_list<ULONG> tags) {
  return Outstanding(since, std::vector<ULONG>(tags));
}

size_t CheckLeaks(std::string_view scope, uint64_t since, const std::vector<ULONG>& tags) {
  Pool& p = pool();
  std::vector<Allocation> leaked;
  {
    std::lock_guard guard(p.lock);
    for (auto& [key, block] : p.live) {
      if (block.serial <= since || block.reported) continue;
      if (!tags.empty() && std::find(tags.begin(), tags.end(), block.tag) == tags.end()) continue;
      block.reported = true;
      leaked.push_back(Allocation{reinterpret_cast<const void*>(key), block.size, block.tag, block.serial});
    }
  }
  if (leaked.empty()) return 0;
  std::sort(leaked.begin(), leaked.end(), [](const Allocation& a, const Allocation& b) { return a.serial < b.serial; });
  std::string msg = std::string(scope) + " leaked " + std::to_string(leaked.size()) + " pool block(s):";
  size_t shown = 0;
  for (const Allocation& a : leaked) {
    if (++shown > 20) {
      msg += " ...";
      break;
    }
    msg += " [" + TagName(a.tag) + " " + std::to_string(a.size) + " bytes #" + std::to_string(a.serial) + "]";
  }
  Report(ViolationKind::Leak, msg);
  return leaked.size();
}

std::vector<TagStats> PoolStats() {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  std::vector<TagStats> out;
  for (const auto& [tag, s] : p.stats) out.push_back(TagStats{tag, s.blocks, s.bytes, s.peak, s.allocations});
  return out;
}

void FailNthAllocation(uint64_t n) {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  p.fail_at = n == 0 ? 0 : p.attempts + n;
}

void FailAllocationsWithTag(ULONG tag) {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  p.fail_tags.insert(tag);
}

void FailRandomShare(uint64_t seed, double share) {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  p.rng.seed(seed);
  p.share = share;
}

void FailThreadCreation(unsigned count) {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  p.fail_threads = count;
}

void SetIoAllocationsCanFail(bool enabled) {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  p.io_can_fail = enabled;
}

void ResetFaultInjection() {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  p.fail_at = 0;
  p.fail_tags.clear();
  p.share = 0;
  p.fail_threads = 0;
  p.io_can_fail = true;
}

uint64_t AllocationAttempts() {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  return p.attempts;
}

uint64_t RunWithEachAllocationFailing(const std::function<void()>& scenario) {
  ResetFaultInjection();
  uint64_t before = AllocationAttempts();
  scenario();
  uint64_t n = AllocationAttempts() - before;
  for (uint64_t k = 1; k <= n; ++k) {
    FailNthAllocation(k);
    scenario();
  }
  ResetFaultInjection();
  return n;
}

uint64_t InjectedFailures() {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  return p.injected;
}

}  // namespace verifier
}  // namespace kscam::host

using namespace kscam::host;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return detail::PoolAllocate(PoolType, NumberOfBytes, Tag, true, false);
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { detail::PoolFree(P, Tag, "ExFreePoolWithTag"); }

extern "C" VOID ExFreePool(PVOID P) { detail::PoolFree(P, 0, "ExFreePool"); }
