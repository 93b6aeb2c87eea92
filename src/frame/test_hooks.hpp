// Entry points for tests of a build with allocation failure injection. They are
// plain C functions with default visibility, reached through ctypes on the
// module's own shared object, so that the module's Python face (its attributes,
// its class) is the same in every build. A normal build compiles none of them:
// test_hooks.cpp holds the store's, each host folder's test_hooks.cpp those of
// its bulk crossing.
#pragma once

#ifndef CORVANE_FAULT_INJECTION
#error "test hooks belong to the fault injection build only"
#endif

#define CORVANE_TEST_HOOK extern "C" __attribute__((visibility("default")))
