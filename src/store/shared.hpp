// Shared<T>: an owning handle to a block that holds a reference count next to
// its content. Stores hand their halves on from one result to the next, and a
// key index may outlive the instance that built it, so both halves live in
// such blocks.
//
// - A new block starts with count 1, held by the handle that made it.
// - clone() adds a holder; release() (or the destructor) drops one, and the
//   holder that brings the count to zero destroys the content and frees the
//   block through deallocate(). A block may be released on any thread.
// - Handles are move-only: copying a handle silently would hide a count
//   change, which is exactly what moving a store must not do.
// - There are no weak references, so a count of 1 proves sole ownership.
#pragma once

#include "store/memory.hpp"

#include <atomic>
#include <cstddef>
#include <new>
#include <utility>

namespace corvane::store {

template <class T>
class Shared {
public:
    Shared() noexcept = default;

    // Builds a new block holding T(args...). If T's constructor throws, the
    // block is freed and the exception goes on.
    template <class... Args>
    [[nodiscard]] static Shared make(Args&&... args)
    {
        void* memory = allocate(sizeof(Block), alignof(Block));
        try {
            return Shared(::new (memory) Block(std::forward<Args>(args)...));
        } catch (...) {
            deallocate(memory, sizeof(Block), alignof(Block));
            throw;
        }
    }

    Shared(Shared&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}

    Shared& operator=(Shared&& other) noexcept
    {
        if (this != &other) {
            release();
            block_ = std::exchange(other.block_, nullptr);
        }
        return *this;
    }

    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    ~Shared() { release(); }

    // Relaxed is enough for a new holder: whoever clones already holds the
    // block, so it cannot disappear meanwhile, and the count orders nothing.
    [[nodiscard]] Shared clone() const noexcept
    {
        if (block_ != nullptr) {
            block_->count.fetch_add(1, std::memory_order_relaxed);
        }
        return Shared(block_);
    }

    // Drops this handle's hold; the handle is empty afterwards. acq_rel makes
    // every holder's earlier use of the content happen before its
    // destruction by the last one.
    void release() noexcept
    {
        Block* block = std::exchange(block_, nullptr);
        if (block != nullptr && block->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            block->~Block();
            deallocate(block, sizeof(Block), alignof(Block));
        }
    }

    // A snapshot: other threads may change it right after.
    [[nodiscard]] std::size_t use_count() const noexcept
    {
        return block_ == nullptr ? 0 : block_->count.load(std::memory_order_relaxed);
    }

    [[nodiscard]] T* get() const noexcept { return block_ == nullptr ? nullptr : &block_->content; }
    T& operator*() const noexcept { return block_->content; }
    T* operator->() const noexcept { return &block_->content; }
    explicit operator bool() const noexcept { return block_ != nullptr; }

    friend bool same_block(const Shared& a, const Shared& b) noexcept { return a.block_ == b.block_; }

private:
    struct Block {
        template <class... Args>
        explicit Block(Args&&... args) : content(std::forward<Args>(args)...)
        {
        }
        std::atomic<std::size_t> count{1};
        T content;
    };

    explicit Shared(Block* block) noexcept : block_(block) {}

    Block* block_ = nullptr;
};

}  // namespace corvane::store
