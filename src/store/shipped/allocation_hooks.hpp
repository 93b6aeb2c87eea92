// What the shipped store does around each allocation: nothing. memory.cpp
// finds this header or injection/'s through its target's include path; these
// empty bodies compile away.
#pragma once

namespace corvane::store::hooks {

inline bool refuse_allocation() noexcept { return false; }
inline void allocated() noexcept {}
inline void released() noexcept {}

}  // namespace corvane::store::hooks
