// Process-wide values filled once (the module, the panic class, interned names).
// A thread that finds another filling the cell waits for it with the interpreter
// lock released, so the filling thread can run Python code and finish; a failed
// fill leaves the cell empty for a later attempt.
#pragma once

#include "frame/host.hpp"

#include <atomic>
#include <mutex>

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
    template <class Fill>
    auto get_or_fill(Fill&& fill) -> decltype(fill())
    {
        if (T* ready = get()) {
            return ready;
        }
        FillLock lock(mutex_);
        if (T* ready = get()) {
            return ready;
        }
        auto made = fill();
        if (made) {
            value_.store(*made, std::memory_order_release);
        }
        return made;
    }

private:
    std::atomic<T*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace corvane::frame
