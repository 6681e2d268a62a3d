// A growable array of trivially copyable values: a few on the stack, more on
// the heap (PyMem), growth failure reported as MemoryError.
#pragma once

#include "ref.hpp"

#include <cstring>
#include <type_traits>

namespace vk {

template <typename T, size_t Inline>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallVec() noexcept = default;
    SmallVec(const SmallVec&) = delete;
    SmallVec& operator=(const SmallVec&) = delete;
    ~SmallVec() {
        if (data_ != local_) PyMem_Free(data_);
    }
    // Appends `v`; false with MemoryError set when the array cannot grow.
    bool push(T v) noexcept {
        if (size_ == cap_ && !grow(cap_ * 2)) return false;
        data_[size_++] = v;
        return true;
    }
    // Room for `n` values in all; false with MemoryError set.
    bool reserve(size_t n) noexcept { return n <= cap_ || grow(n); }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    void clear() noexcept { size_ = 0; }

private:
    bool grow(size_t cap) noexcept {
        T* grown = static_cast<T*>(PyMem_Malloc(cap * sizeof(T)));
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(grown, data_, size_ * sizeof(T));
        if (data_ != local_) PyMem_Free(data_);
        data_ = grown;
        cap_ = cap;
        return true;
    }
    T local_[Inline];
    T* data_ = local_;
    size_t size_ = 0, cap_ = Inline;
};

}  // namespace vk
