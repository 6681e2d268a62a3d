// Entry positions remembered per selection, so that a warm walk finds each
// value again without hashing its key or probing the dict.
//
// A sum over a bucket of the key list looks every key up in the dict: it
// reads the key tuple and its items to hash it, then probes the dict's index
// and reads the entry, several cache misses a term in a big model. The key
// list and its buckets hold the dict's own key objects, so the entry that
// holds a key can be remembered by position, and read again directly.
//
// A remembered position is only a guess, checked before each use: it is
// trusted only when the entry there holds that very key object, which proves
// it is the key's entry (a dict holds each key once), so a stale guess (the
// dict grew or was rebuilt, the bucket changed, its address now belongs to
// another list) costs a lookup, never a wrong value. Skipping the lookup is
// invisible only where the lookup would run no code: the walk uses positions
// only while every key of the dict is plain (vk::keys_all_plain) and the
// dict is unchanged since the walk began.
//
// The table is keyed by the selection's address and holds no reference to
// anything. Its memory is bounded: past kMaxPositions positions in all, it
// is emptied and starts again.
#pragma once

#include <new>
#include <utility>
#include <vector>

#include "frame.hpp"

namespace {

namespace native {

class PositionTable {
public:
    static constexpr size_t kMaxPositions = size_t(1) << 23;  // 32 MiB of positions

    // The positions remembered for `sel`, with room for `n`; fresh ones are
    // unknown (-1). nullptr when there is no room (nothing is raised).
    int32_t* of(PyObject* sel, Py_ssize_t n) noexcept {
        if (n <= 0 || static_cast<size_t>(n) > kMaxPositions / 4) return nullptr;
        try {
            if ((used_ + 1) * 4 > slots_.size() * 3) grow();
            Slot& s = find(sel);
            if (s.sel == sel && s.n >= n) {
                s.n = static_cast<uint32_t>(n);
                return arena_.data() + s.offset;
            }
            if (arena_.size() + n > kMaxPositions) {
                clear();
                return of(sel, n);
            }
            const size_t offset = arena_.size();
            if (arena_.capacity() < offset + n) ++epoch_;  // the arena moves
            arena_.resize(offset + n, -1);
            if (s.sel != sel) ++used_;
            s = {sel, static_cast<uint32_t>(offset), static_cast<uint32_t>(n)};
            return arena_.data() + offset;
        } catch (const std::bad_alloc&) {
            clear();
            return nullptr;
        }
    }

    // Changes whenever remembered positions move or are dropped: a walk that
    // holds a pointer into the table checks it after any code may have run.
    uint64_t epoch() const noexcept { return epoch_; }

private:
    struct Slot {
        PyObject* sel;  // compared only, never dereferenced
        uint32_t offset, n;
    };

    Slot& find(PyObject* sel) noexcept {
        const size_t mask = slots_.size() - 1;
        size_t i = (reinterpret_cast<uintptr_t>(sel) >> 4) * 0x9E3779B97F4A7C15ULL >> 20 & mask;
        while (slots_[i].sel && slots_[i].sel != sel) i = (i + 1) & mask;
        return slots_[i];
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{nullptr, 0, 0});
        for (const Slot& s : old)
            if (s.sel) find(s.sel) = s;
    }

    void clear() noexcept {
        std::vector<Slot>().swap(slots_);
        std::vector<int32_t>().swap(arena_);
        used_ = 0;
        ++epoch_;
    }

    std::vector<Slot> slots_;
    std::vector<int32_t> arena_;
    size_t used_ = 0;
    uint64_t epoch_ = 0;
} g_positions;

}  // namespace native

}  // namespace
