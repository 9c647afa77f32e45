// The pin's queue of client frames: submitted at the back, handed to the driver at the leading
// edge (locked), completed in order when the driver ejects them or when the pin stops.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>

#include "host/kernel/verifier.h"
#include "host/ks/ks_host.h"
#include "host/ks/ks_internal.h"

namespace kscam::host::ks {

NTSTATUS QueueSubmit(PinRecord& r, PKSSTREAM_HEADER header) {
  if (!header || header->Size < sizeof(KSSTREAM_HEADER)) return STATUS_INVALID_PARAMETER;
  if (header->FrameExtent != 0 && !header->Data) return STATUS_INVALID_PARAMETER;
  {
    std::lock_guard guard(r.queue_lock);
    if (r.closed) return STATUS_INVALID_HANDLE;
    // A stopped pin takes no frames: they would only come back cancelled.
    if (!r.accepting) return STATUS_INVALID_DEVICE_STATE;
    if (std::find(r.queued.begin(), r.queued.end(), header) != r.queued.end()) return STATUS_INVALID_PARAMETER;
    r.queued.push_back(header);
    r.queued_count.store(r.queued.size());
  }
  FrameArrived(r);
  return STATUS_SUCCESS;
}

void QueueSetAccepting(PinRecord& r, bool accepting, NTSTATUS status) {
  {
    std::lock_guard guard(r.queue_lock);
    r.accepting = accepting && !r.closed;
    if (accepting) return;
    // A frame the driver holds locked stays until it lets go; the rest go now, in order.
    const size_t keep = r.edge_locked ? 1 : 0;
    if (keep) r.flush_on_unlock = true;
    while (r.queued.size() > keep) {
      r.completed.push_back(Device::CompletedFrame{r.queued[keep], status});
      r.queued.erase(r.queued.begin() + static_cast<std::ptrdiff_t>(keep));
    }
    r.queued_count.store(r.queued.size());
  }
  r.frame_completed.notify_all();
}

void QueueClose(PinRecord& r) {
  {
    std::lock_guard guard(r.queue_lock);
    if (r.edge_locked) {
      verifier::Report(verifier::ViolationKind::Other,
                       "pin " + std::to_string(r.id) + " closed while its leading-edge stream pointer is still locked");
    }
    r.edge_locked = false;
    r.flush_on_unlock = false;
    r.closed = true;
    r.accepting = false;
    r.queued.clear();
    r.completed.clear();
    r.queued_count.store(0);
  }
  r.frame_completed.notify_all();
}

bool QueueWait(PinRecord& r, uint32_t timeout_ms, Device::CompletedFrame* frame) {
  std::unique_lock guard(r.queue_lock);
  r.frame_completed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                             [&] { return r.closed || !r.completed.empty(); });
  if (r.completed.empty()) return false;
  if (frame) *frame = r.completed.front();
  r.completed.pop_front();
  return true;
}

size_t QueueSize(PinRecord& r) {
  std::lock_guard guard(r.queue_lock);
  return r.queued.size();
}

}  // namespace kscam::host::ks

using namespace kscam::host;

extern "C" PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state) {
  std::shared_ptr<ks::PinRecord> record = ks::FindPin(pin);
  if (!record) {
    verifier::Report(verifier::ViolationKind::Other, "KsPinGetLeadingEdgeStreamPointer: not an open pin");
    return nullptr;
  }
  ks::PinRecord& r = *record;
  if (state != KSSTREAM_POINTER_STATE_LOCKED) {
    verifier::Report(verifier::ViolationKind::Other,
                     "KsPinGetLeadingEdgeStreamPointer: the host hands out the leading edge locked only");
    return nullptr;
  }
  std::lock_guard guard(r.queue_lock);
  if (r.edge_locked) {
    verifier::Report(verifier::ViolationKind::Other, "KsPinGetLeadingEdgeStreamPointer: pin " + std::to_string(r.id) +
                                                         " already has its leading edge locked");
    return nullptr;
  }
  if (r.closed || r.queued.empty()) return nullptr;
  PKSSTREAM_HEADER header = r.queued.front();
  KSSTREAM_POINTER& edge = r.edge;
  edge = KSSTREAM_POINTER{};
  edge.Pin = pin;
  edge.StreamHeader = header;
  KSSTREAM_POINTER_OFFSET offset{static_cast<PUCHAR>(header->Data), header->FrameExtent, header->FrameExtent};
  if (pin->DataFlow == KSPIN_DATAFLOW_IN) {
    edge.OffsetIn = offset;
    edge.Offset = &edge.OffsetIn;
  } else {
    edge.OffsetOut = offset;
    edge.Offset = &edge.OffsetOut;
  }
  r.edge_locked = true;
  return &edge;
}

extern "C" void KsStreamPointerUnlock(PKSSTREAM_POINTER pointer, BOOLEAN eject) {
  std::shared_ptr<ks::PinRecord> record = ks::FindPinOfStreamPointer(pointer);
  if (!record) {
    verifier::Report(verifier::ViolationKind::Other, "KsStreamPointerUnlock: not a stream pointer of an open pin");
    return;
  }
  ks::PinRecord& r = *record;
  {
    std::lock_guard guard(r.queue_lock);
    if (!r.edge_locked) {
      verifier::Report(verifier::ViolationKind::Other, "KsStreamPointerUnlock: the stream pointer of pin " +
                                                           std::to_string(r.id) + " is not locked (unlocked twice?)");
      return;
    }
    r.edge_locked = false;
    const bool flushed = r.flush_on_unlock;
    r.flush_on_unlock = false;
    if (r.queued.empty()) return;
    if (eject) {
      r.completed.push_back(ks::Device::CompletedFrame{r.queued.front(), STATUS_SUCCESS});
      r.queued.pop_front();
      r.ejected.fetch_add(1);
    } else if (flushed) {
      // The pin stopped while the driver held the frame: it goes back cancelled.
      r.completed.push_back(ks::Device::CompletedFrame{r.queued.front(), STATUS_CANCELLED});
      r.queued.pop_front();
    } else {
      return;  // left at the leading edge, unfilled
    }
    r.queued_count.store(r.queued.size());
  }
  r.frame_completed.notify_all();
}
