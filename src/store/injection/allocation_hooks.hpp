// What the store built for tests does around each allocation: counts it, and
// refuses the one that fail_allocation_after() chose (see fault_injection.hpp).
#pragma once

namespace corvane::store::hooks {

bool refuse_allocation() noexcept;
void allocated() noexcept;
void released() noexcept;

}  // namespace corvane::store::hooks
