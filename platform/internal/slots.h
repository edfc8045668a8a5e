// Inside the layer: a fixed table of slots whose values carry a generation, so that a closed
// value is refused instead of reaching whatever reuses its slot. Each slot has a use count:
// its resource is released only when it is closed and no call is inside it any more.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

namespace win::internal {

// `Count` slots; a value is generation * Count + index with a generation from 1 up, so a
// value is never 0 and stays below 2^31 (it prints as a positive "%i").
template <std::uint32_t Count>
class slot_table {
  public:
    static constexpr std::uint32_t count = Count;
    static constexpr std::uint32_t max_generation = 0x7FFFFFFFu / Count;

    // All zero: usable from static initialisation on, before any constructor has run.
    constexpr slot_table() = default;

    // Takes a free slot; the least recently freed first, so that a value comes back as late
    // as possible. The slot is not yet visible: publish() makes it so. False when all are used.
    bool reserve(std::uint32_t* index) {
        std::lock_guard<std::mutex> guard(lock_);
        if (fresh_ < Count) {
            *index = fresh_++;
            return true;
        }
        if (free_count_ == 0) return false;
        *index = free_[free_head_];
        free_head_ = (free_head_ + 1) % Count;
        --free_count_;
        return true;
    }

    // Opens a reserved slot with `uses` calls already inside it; returns its new value.
    std::uint32_t publish(std::uint32_t index, std::uint32_t uses) {
        std::uint64_t old = state_[index].load(std::memory_order_relaxed);
        std::uint32_t generation = std::uint32_t(old >> 32) % max_generation + 1;
        state_[index].store((std::uint64_t(generation) << 32) | open_bit | uses,
                            std::memory_order_release);
        return generation * Count + index;
    }

    // Gives a reserved slot back without opening it.
    void unreserve(std::uint32_t index) { recycle(index); }

    // Enters the slot that `value` names: true, with its index, while it is open.
    bool enter(std::uint64_t value, std::uint32_t* index) {
        if (value == 0 || value > 0x7FFFFFFFu) return false;
        std::uint32_t i = std::uint32_t(value % Count);
        std::uint32_t generation = std::uint32_t(value / Count);
        std::uint64_t s = state_[i].load(std::memory_order_acquire);
        for (;;) {
            if (std::uint32_t(s >> 32) != generation || (s & open_bit) == 0) return false;
            if (state_[i].compare_exchange_weak(s, s + 1, std::memory_order_acq_rel,
                                                std::memory_order_acquire)) {
                *index = i;
                return true;
            }
        }
    }

    // Leaves a slot entered before. True when this was the last use of a closed slot: the
    // caller then releases the slot's resource and calls recycle().
    bool leave(std::uint32_t index) {
        std::uint64_t s = state_[index].fetch_sub(1, std::memory_order_acq_rel) - 1;
        return (s & open_bit) == 0 && (s & use_mask) == 0;
    }

    // Marks an entered slot closed: no call can enter it any more. False when another caller
    // closed it first. The caller still holds its use and leaves afterwards.
    bool close(std::uint32_t index) {
        std::uint64_t s = state_[index].fetch_and(~open_bit, std::memory_order_acq_rel);
        return (s & open_bit) != 0;
    }

    bool is_closed(std::uint32_t index) const {
        return (state_[index].load(std::memory_order_acquire) & open_bit) == 0;
    }

    // Returns a slot whose last use has gone to the free list.
    void recycle(std::uint32_t index) {
        std::lock_guard<std::mutex> guard(lock_);
        free_[(free_head_ + free_count_) % Count] = index;
        ++free_count_;
    }

    // Slots that are open or still have a call inside them.
    std::uint32_t in_use() {
        std::lock_guard<std::mutex> guard(lock_);
        return fresh_ - free_count_;
    }

  private:
    static constexpr std::uint64_t open_bit = 0x80000000u; // calls may enter
    static constexpr std::uint64_t use_mask = 0x7FFFFFFFu; // calls inside the slot

    std::atomic<std::uint64_t> state_[Count]{}; // generation << 32 | open_bit | uses
    std::mutex lock_;                           // guards what follows
    std::uint32_t fresh_ = 0;                   // slots below it have been used at least once
    std::uint32_t free_[Count]{};               // ring of freed indices, oldest first
    std::uint32_t free_head_ = 0;               // position of the oldest freed index
    std::uint32_t free_count_ = 0;              // freed indices in the ring
};

} // namespace win::internal
