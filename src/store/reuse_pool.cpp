#include "store/reuse_pool.hpp"

#include "store/sanitizer.hpp"
#include "store/system_blocks.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <new>
#include <vector>

namespace corvane::store::reuse {

namespace {

// No epoch is shorter than this much handed out, so a program of small
// objects does not roll epochs (and trim) at every few calls.
constexpr std::size_t shortest_epoch = std::size_t{64} << 20;

// The most the pool ever holds: 1 GiB, and 256 MiB in a 32-bit process,
// whose address space the program needs for its own.
constexpr std::size_t cap = std::min<std::size_t>(std::size_t{1} << 30, static_cast<std::size_t>(-1) / 16);

// Results of one receiver all have its size, so a program uses few sizes at a
// time; a size beyond these few is not kept.
constexpr std::size_t bucket_count = 16;

struct Bucket {
    std::size_t bytes = 0;
    std::size_t alignment = 0;
    std::vector<void*> blocks;
};

class Pool {
public:
    void* take(std::size_t bytes, std::size_t alignment) noexcept
    {
        if (bytes < smallest_kept) {
            return nullptr;
        }
        const std::lock_guard lock(mutex_);
        Bucket* bucket = find(bytes, alignment);
        if (bucket == nullptr || bucket->blocks.empty()) {
            return nullptr;
        }
        void* block = bucket->blocks.back();
        bucket->blocks.pop_back();
        kept_ -= bytes;
        hand_out(bytes);
        CORVANE_UNPOISON(block, bytes);
        return block;
    }

    void count(std::size_t bytes) noexcept
    {
        const std::lock_guard lock(mutex_);
        hand_out(bytes);
    }

    bool keep(void* block, std::size_t bytes, std::size_t alignment) noexcept
    {
        const std::lock_guard lock(mutex_);
        in_use_ -= std::min(in_use_, bytes);
        if (bytes < smallest_kept || in_use_ + kept_ + bytes > bound() || kept_ + bytes > cap) {
            return false;
        }
        Bucket* bucket = find(bytes, alignment);
        if (bucket == nullptr) {
            bucket = free_bucket();
            if (bucket == nullptr) {
                return false;
            }
            bucket->bytes = bytes;
            bucket->alignment = alignment;
        }
        try {
            bucket->blocks.push_back(block);
        } catch (const std::bad_alloc&) {
            return false;
        }
        kept_ += bytes;
        CORVANE_POISON(block, bytes);
        return true;
    }

    Usage usage() noexcept
    {
        const std::lock_guard lock(mutex_);
        return {in_use_, kept_, bound()};
    }

    void release_all() noexcept
    {
        const std::lock_guard lock(mutex_);
        trim_to(0);
    }

private:
    std::size_t bound() const noexcept { return std::max(peak_, last_peak_); }

    void hand_out(std::size_t bytes) noexcept
    {
        in_use_ += bytes;
        peak_ = std::max(peak_, in_use_);
        handed_out_ += bytes;
        if (handed_out_ >= std::max(shortest_epoch, 2 * bound())) {
            // A new epoch: the bound forgets what was in use two epochs ago,
            // and what the pool holds beyond the new bound goes back.
            last_peak_ = peak_;
            peak_ = in_use_;
            handed_out_ = 0;
            trim_to(bound() - std::min(bound(), in_use_));
        }
    }

    Bucket* find(std::size_t bytes, std::size_t alignment) noexcept
    {
        for (Bucket& bucket : buckets_) {
            if (bucket.bytes == bytes && bucket.alignment == alignment) {
                return &bucket;
            }
        }
        return nullptr;
    }

    Bucket* free_bucket() noexcept
    {
        for (Bucket& bucket : buckets_) {
            if (bucket.blocks.empty()) {
                return &bucket;
            }
        }
        return nullptr;
    }

    void trim_to(std::size_t most) noexcept
    {
        for (Bucket& bucket : buckets_) {
            while (kept_ > most && !bucket.blocks.empty()) {
                void* block = bucket.blocks.back();
                bucket.blocks.pop_back();
                kept_ -= bucket.bytes;
                CORVANE_UNPOISON(block, bucket.bytes);
                system_release(block, bucket.bytes, bucket.alignment);
            }
            if (bucket.blocks.empty()) {
                std::vector<void*>().swap(bucket.blocks);
            }
        }
    }

    std::mutex mutex_;
    std::array<Bucket, bucket_count> buckets_;
    std::size_t in_use_ = 0;
    std::size_t kept_ = 0;
    std::size_t peak_ = 0;
    std::size_t last_peak_ = 0;
    std::size_t handed_out_ = 0;
};

// Never destroyed: a store may be released after static destructors have run
// (a host that frees its objects late, at exit), and the kept blocks stay
// reachable from here.
Pool& pool() noexcept
{
    alignas(Pool) static unsigned char storage[sizeof(Pool)];
    static Pool* const instance = new (storage) Pool();
    return *instance;
}

}  // namespace

void* take(std::size_t bytes, std::size_t alignment) noexcept { return pool().take(bytes, alignment); }

void count(std::size_t bytes) noexcept { pool().count(bytes); }

bool keep(void* block, std::size_t bytes, std::size_t alignment) noexcept
{
    return pool().keep(block, bytes, alignment);
}

Usage usage() noexcept { return pool().usage(); }

void release_all() noexcept { pool().release_all(); }

}  // namespace corvane::store::reuse
