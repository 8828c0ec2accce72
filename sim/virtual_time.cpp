#include "sim/virtual_time.h"

#include <algorithm>
#include <utility>

namespace horalign::sim {

EventId VirtualTime::At(std::int64_t us, std::function<void()> fn) {
  std::uint32_t slot;
  if (!freeSlots_.empty()) {
    slot = freeSlots_.back();
    freeSlots_.pop_back();
  } else {
    slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  const std::uint64_t seq = nextSeq_++;
  slots_[slot].seq = seq;
  slots_[slot].fn = std::move(fn);
  heap_.push_back({std::max(us, nowUs_), seq, slot});
  std::push_heap(heap_.begin(), heap_.end(), Later{});
  ++live_;
  return {slot, seq};
}

bool VirtualTime::Cancel(EventId& id) {
  const EventId taken = std::exchange(id, EventId{});
  if (!taken.Valid() || taken.slot >= slots_.size() || slots_[taken.slot].seq != taken.seq) {
    return false;
  }
  FreeSlot(taken.slot);
  // Cancelled entries wait in the heap; rebuild it when they outnumber the live ones.
  if (heap_.size() > 2 * live_ + 64) {
    std::erase_if(heap_, [this](const Entry& e) { return slots_[e.slot].seq != e.seq; });
    std::make_heap(heap_.begin(), heap_.end(), Later{});
  }
  return true;
}

void VirtualTime::FreeSlot(std::uint32_t slot) {
  slots_[slot].seq = 0;
  slots_[slot].fn = nullptr;
  freeSlots_.push_back(slot);
  --live_;
}

void VirtualTime::DropStaleTop() const {
  while (!heap_.empty() && slots_[heap_.front().slot].seq != heap_.front().seq) {
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    heap_.pop_back();
  }
}

std::int64_t VirtualTime::NextEventUs() const {
  DropStaleTop();
  return heap_.empty() ? -1 : heap_.front().dueUs;
}

void VirtualTime::AdvanceTo(std::int64_t us) {
  us = std::max(us, nowUs_);
  for (;;) {
    DropStaleTop();
    if (heap_.empty() || heap_.front().dueUs > us) break;
    const Entry e = heap_.front();
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    heap_.pop_back();
    nowUs_ = std::max(nowUs_, e.dueUs);
    std::function<void()> fn = std::move(slots_[e.slot].fn);
    FreeSlot(e.slot);
    fn();
  }
  nowUs_ = std::max(nowUs_, us);
}

}  // namespace horalign::sim
