#include "store/memory.hpp"

// The shipped store's hooks (none) or the test build's (failure injection):
// its target's include path decides, see CMakeLists.txt.
#include "allocation_hooks.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>

#include "store/reuse_pool.hpp"
#include "store/sanitizer.hpp"
#include "store/system_blocks.hpp"

namespace corvane::store {

namespace {

// Relaxed is enough: the observer is installed once, before any store exists,
// and the two pointers need not be seen together by other threads (a release
// report without a matching allocation report is tolerated).
std::atomic<void (*)(const void*, std::size_t)> observe_allocate{nullptr};
std::atomic<void (*)(const void*, std::size_t)> observe_release{nullptr};

// A large block with an alignment above malloc's own comes from a plain
// allocation of `alignment` bytes more, aligned inside it; the address malloc
// gave sits in the word before the block. Asking malloc for an aligned block
// instead splits off and frees the bytes around it: a block freed later then
// falls short of the next request of the same size, and a loop that drops one
// large result and makes the next one leaves a trail of free blocks no
// request fits (19 of 8 MB where malloc keeps large blocks in its heap).
void* allocate_large_aligned(std::size_t bytes, std::size_t alignment) noexcept
{
    auto* raw = static_cast<unsigned char*>(::operator new(bytes + alignment, std::nothrow));
    if (raw == nullptr) {
        return nullptr;
    }
    // operator new aligns to the default alignment and `alignment` is a
    // larger power of two, so the offset is a nonzero multiple of the default:
    // room for the word before the block.
    static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= sizeof(void*));
    const std::size_t offset = alignment - reinterpret_cast<std::uintptr_t>(raw) % alignment;
    unsigned char* block = raw + offset;
    std::memcpy(block - sizeof raw, &raw, sizeof raw);
    CORVANE_POISON(raw, offset);
    CORVANE_POISON(block + bytes, alignment - offset);
    return block;
}

void deallocate_large_aligned(void* p, std::size_t bytes, std::size_t alignment) noexcept
{
    auto* block = static_cast<unsigned char*>(p);
    unsigned char* raw = nullptr;
    CORVANE_UNPOISON(block - sizeof raw, sizeof raw);
    std::memcpy(&raw, block - sizeof raw, sizeof raw);
    CORVANE_UNPOISON(raw, bytes + alignment);
    ::operator delete(raw, bytes + alignment);
}

// Tables and vectors of millions of entries are read at random (lookups) or
// touched for the first time in one pass (construction, results): on 4 KiB
// pages every access pays a TLB miss and every page a fault. Asking for huge
// pages on the blocks that can hold them cuts both by the page-size ratio.
// Only whole huge pages inside the block qualify, so a block never makes its
// neighbours resident; the kernel may refuse, which changes nothing. Byte
// blocks (key text, the only ones aligned to 1) are left out: their size is
// often a guess, and a huge page would make the unused tail resident.
constexpr std::size_t huge_page = std::size_t{2} << 20;

void prefer_huge_pages(void* p, std::size_t bytes) noexcept
{
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(p) % huge_page;
    const std::size_t skip = misalignment == 0 ? 0 : huge_page - misalignment;
    if (bytes > skip && bytes - skip >= huge_page) {
        (void)::madvise(static_cast<char*>(p) + skip, (bytes - skip) / huge_page * huge_page, MADV_HUGEPAGE);
    }
}

// Below this size an over-aligned block comes from the aligned operator new:
// the slack it splits off is small enough to be of use to the allocator.
constexpr std::size_t large_block = 64 * 1024;

bool large_aligned(std::size_t bytes, std::size_t alignment) noexcept
{
    return alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__ && bytes >= large_block;
}

}  // namespace

void set_allocation_observer(AllocationObserver observer) noexcept
{
    observe_allocate.store(observer.on_allocate, std::memory_order_relaxed);
    observe_release.store(observer.on_release, std::memory_order_relaxed);
}

std::size_t array_bytes(std::size_t count, std::size_t size)
{
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        throw std::bad_alloc();
    }
    return bytes;
}

void* system_allocate(std::size_t bytes, std::size_t alignment) noexcept
{
    void* p = nullptr;
    if (large_aligned(bytes, alignment)) {
        p = allocate_large_aligned(bytes, alignment);
    } else if (alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        p = ::operator new(bytes, std::nothrow);
    } else {
        p = ::operator new(bytes, std::align_val_t{alignment}, std::nothrow);
    }
    if (p != nullptr && bytes >= 2 * huge_page && alignment > 1) {
        prefer_huge_pages(p, bytes);
    }
    return p;
}

void system_release(void* p, std::size_t bytes, std::size_t alignment) noexcept
{
    if (large_aligned(bytes, alignment)) {
        deallocate_large_aligned(p, bytes, alignment);
    } else if (alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        ::operator delete(p, bytes);
    } else {
        ::operator delete(p, bytes, std::align_val_t{alignment});
    }
}

void* allocate(std::size_t bytes, std::size_t alignment)
{
    // No object may be larger than PTRDIFF_MAX; refusing here also keeps
    // pointer differences inside every block well defined.
    constexpr auto largest = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (bytes > largest - alignment) {
        throw std::bad_alloc();
    }
    if (hooks::refuse_allocation()) {
        throw std::bad_alloc();
    }
    void* p = reuse::take(bytes, alignment);
    if (p == nullptr) {
        p = system_allocate(bytes, alignment);
        if (p == nullptr) {
            // Blocks kept for reuse must not be what makes a request fail:
            // give them all back and ask once more.
            reuse::release_all();
            p = system_allocate(bytes, alignment);
        }
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        reuse::count(bytes);
    }
    hooks::allocated();
    if (auto report = observe_allocate.load(std::memory_order_relaxed)) {
        report(p, bytes);
    }
    return p;
}

void deallocate(void* p, std::size_t bytes, std::size_t alignment) noexcept
{
    if (p == nullptr) {
        return;
    }
    if (auto report = observe_release.load(std::memory_order_relaxed)) {
        report(p, bytes);
    }
    hooks::released();
    if (!reuse::keep(p, bytes, alignment)) {
        system_release(p, bytes, alignment);
    }
}

}  // namespace corvane::store
