#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace horalign::sim {

// Names one scheduled world event so that its owner can take it back. A default handle
// names nothing; a handle whose event has run or was cancelled is simply stale.
struct EventId {
  std::uint32_t slot = 0;
  std::uint64_t seq = 0;  // 0: no event
  bool Valid() const { return seq != 0; }
};

// Monotonic virtual time in microseconds (starting at 0) and the world's event queue:
// bytes on the line, device replies, receiver time events. Nothing here reads the wall
// clock; time moves only when someone calls AdvanceTo.
class VirtualTime {
 public:
  VirtualTime() = default;
  VirtualTime(const VirtualTime&) = delete;
  VirtualTime& operator=(const VirtualTime&) = delete;

  std::int64_t NowUs() const { return nowUs_; }

  // Schedules fn at the absolute time us; a time in the past means now. Events due at the
  // same time run in the order they were scheduled.
  EventId At(std::int64_t us, std::function<void()> fn);
  EventId After(std::int64_t deltaUs, std::function<void()> fn) {
    return At(nowUs_ + deltaUs, std::move(fn));
  }

  // Takes a pending event back; returns false when it already ran or was cancelled.
  // The handle is cleared either way.
  bool Cancel(EventId& id);
  // True while the event waits to run.
  bool Pending(const EventId& id) const {
    return id.Valid() && id.slot < slots_.size() && slots_[id.slot].seq == id.seq;
  }

  // Runs every event due at or before us in time order, including those scheduled while
  // running, and leaves the time at us. Time never goes back: an earlier us only runs
  // what is due now.
  void AdvanceTo(std::int64_t us);

  // The due time of the earliest pending event, or -1 when there is none.
  std::int64_t NextEventUs() const;
  std::size_t PendingEvents() const { return live_; }

 private:
  struct Entry {
    std::int64_t dueUs;
    std::uint64_t seq;
    std::uint32_t slot;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.dueUs != b.dueUs ? a.dueUs > b.dueUs : a.seq > b.seq;
    }
  };
  struct Slot {
    std::uint64_t seq = 0;  // 0: free
    std::function<void()> fn;
  };

  void DropStaleTop() const;
  void FreeSlot(std::uint32_t slot);

  std::int64_t nowUs_ = 0;
  std::uint64_t nextSeq_ = 1;
  std::size_t live_ = 0;
  // A heap with lazy removal: cancelled entries stay until they reach the top.
  mutable std::vector<Entry> heap_;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> freeSlots_;
};

}  // namespace horalign::sim
