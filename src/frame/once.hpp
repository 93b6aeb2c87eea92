// Process-wide values filled once (the module, the panic class, interned names).
// A thread that finds another filling the cell waits for it with the interpreter
// lock released, so the filling thread can run Python code and finish; a failed
// fill leaves the cell empty for a later attempt. The filling thread itself can
// come back while it fills (Python code run by the fill, a finaliser say, asks
// for the same value); waiting would never end, so it gets what `reentered`
// returns instead.
#pragma once

#include "frame/host.hpp"

#include <atomic>
#include <mutex>
#include <thread>

namespace corvane::frame {

// Takes `mutex`; if it is contended, waits with the interpreter lock released.
class FillLock {
public:
    explicit FillLock(std::mutex& mutex) : mutex_(mutex)
    {
        if (!mutex_.try_lock()) {
            PyThreadState* saved = PyEval_SaveThread();
            mutex_.lock();
            PyEval_RestoreThread(saved);
        }
    }
    ~FillLock() { mutex_.unlock(); }
    FillLock(const FillLock&) = delete;
    FillLock& operator=(const FillLock&) = delete;

private:
    std::mutex& mutex_;
};

// A pointer filled once and kept for the life of the process.
template <class T>
class OnceCell {
public:
    T* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // `fill` returns the value (or null after reporting failure its own way,
    // e.g. as a Result); whatever it returns that is not null is kept.
    // A re-entrant call gets a fresh fill whose value is not kept.
    template <class Fill>
    auto get_or_fill(Fill&& fill) -> decltype(fill())
    {
        return get_or_fill(fill, fill);
    }

    template <class Fill, class Reentered>
    auto get_or_fill(Fill&& fill, Reentered&& reentered) -> decltype(fill())
    {
        if (T* ready = get()) {
            return ready;
        }
        if (filler_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            return reentered();
        }
        FillLock lock(mutex_);
        if (T* ready = get()) {
            return ready;
        }
        FillerMark mark(filler_);
        auto made = fill();
        if (made) {
            value_.store(*made, std::memory_order_release);
        }
        return made;
    }

private:
    // Names the filling thread while the fill runs, faults included.
    class FillerMark {
    public:
        explicit FillerMark(std::atomic<std::thread::id>& filler) noexcept : filler_(filler)
        {
            filler_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~FillerMark() { filler_.store(std::thread::id(), std::memory_order_relaxed); }
        FillerMark(const FillerMark&) = delete;
        FillerMark& operator=(const FillerMark&) = delete;

    private:
        std::atomic<std::thread::id>& filler_;
    };

    std::atomic<T*> value_{nullptr};
    std::atomic<std::thread::id> filler_{};
    std::mutex mutex_;
};

}  // namespace corvane::frame
