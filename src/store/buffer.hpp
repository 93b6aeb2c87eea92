// Buffer<T>: an owning, fixed-capacity array of trivially copyable elements,
// allocated through the store's allocator. It tracks capacity only: what part
// is in use is its owner's business, which keeps it small enough to sit in
// every index and vector without overhead.
#pragma once

#include "store/memory.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace corvane::store {

template <class T, std::size_t Alignment = alignof(T)>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    Buffer() noexcept = default;

    // Capacity 0 allocates nothing.
    explicit Buffer(std::size_t capacity)
    {
        if (capacity != 0) {
            data_ = static_cast<T*>(allocate(array_bytes(capacity, sizeof(T)), Alignment));
            capacity_ = capacity;
        }
    }

    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0))
    {
    }

    Buffer& operator=(Buffer&& other) noexcept
    {
        Buffer moved(std::move(other));
        swap(moved);
        return *this;
    }

    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    ~Buffer() { deallocate(data_, capacity_ * sizeof(T), Alignment); }

    void swap(Buffer& other) noexcept
    {
        std::swap(data_, other.data_);
        std::swap(capacity_, other.capacity_);
    }

    // Replaces this buffer by one of `capacity` elements holding a copy of the
    // first `keep` elements. Strong guarantee: on bad_alloc nothing changes.
    void reallocate(std::size_t capacity, std::size_t keep)
    {
        Buffer larger(capacity);
        if (keep != 0) {
            std::memcpy(larger.data_, data_, keep * sizeof(T));
        }
        swap(larger);
    }

    // The one growth rule of the store's buffers: when `needed` elements do
    // not fit, at least double (so that n appends copy O(n) elements in all),
    // keeping the first `keep`. Strong guarantee, as reallocate().
    void make_room(std::size_t needed, std::size_t keep)
    {
        if (needed > capacity_) {
            std::size_t doubled = 0;
            if (__builtin_mul_overflow(capacity_, std::size_t{2}, &doubled)) {
                doubled = needed;
            }
            reallocate(std::max({needed, doubled, std::size_t{8}}), keep);
        }
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t capacity() const noexcept { return capacity_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    T* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// memcmp that accepts null pointers when nothing is compared.
inline bool same_bytes(const void* a, const void* b, std::size_t size) noexcept
{
    return size == 0 || std::memcmp(a, b, size) == 0;
}

}  // namespace corvane::store
