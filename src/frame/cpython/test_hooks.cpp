// CPython serves nothing in bulk (bulk_crossing.cpp): its hooks say so.
#include "frame/test_hooks.hpp"

CORVANE_TEST_HOOK long corvane_smallest_bulk_construction() { return 0; }
CORVANE_TEST_HOOK long corvane_smallest_bulk_export() { return 0; }
CORVANE_TEST_HOOK long corvane_bulk_crossings() { return 0; }
CORVANE_TEST_HOOK int corvane_bulk_crossing_usable() { return 0; }
CORVANE_TEST_HOOK void corvane_withhold_builtins(int /*withheld*/) {}
