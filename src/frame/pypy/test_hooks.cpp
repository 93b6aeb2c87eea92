// The bulk crossing as tests of the fault injection build see it. None of
// these touches the interpreter: ctypes may call them without its lock.
#include "frame/test_hooks.hpp"
#include "frame/pypy/builtins.hpp"
#include "frame/pypy/bulk_crossing.hpp"

// The smallest dicts that cross in bulk: on construction, on export.
CORVANE_TEST_HOOK long corvane_smallest_bulk_construction() { return corvane::frame::smallest_bulk_construction; }
CORVANE_TEST_HOOK long corvane_smallest_bulk_export()
{
    return static_cast<long>(corvane::frame::smallest_bulk_export);
}

// Dicts that crossed in bulk, either way, since the module was loaded.
CORVANE_TEST_HOOK long corvane_bulk_crossings()
{
    return static_cast<long>(corvane::frame::bulk_crossings.load(std::memory_order_relaxed));
}

// Whether the host's builtins passed their check, so that dicts may cross.
CORVANE_TEST_HOOK int corvane_bulk_crossing_usable() { return corvane::frame::usable_builtins() != nullptr ? 1 : 0; }

// withheld != 0: the crossing acts as on a host whose builtins failed their
// check, and every dict is walked; 0: as the check found them.
CORVANE_TEST_HOOK void corvane_withhold_builtins(int withheld)
{
    corvane::frame::Builtins* found = corvane::frame::taken_builtins();
    if (found == nullptr) {
        return;
    }
    static const bool as_checked = found->usable;
    found->usable = withheld == 0 && as_checked;
}
