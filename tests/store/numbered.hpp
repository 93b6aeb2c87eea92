// "prefix" followed by a number, for tests that need many distinct keys.
// Appending (rather than "prefix" + std::to_string(i)) sidesteps a spurious
// -Wrestrict from GCC 12 at -O3.
#pragma once

#include <string>
#include <string_view>

namespace corvane::store {

inline std::string numbered(std::string_view prefix, long i)
{
    std::string key(prefix);
    key += std::to_string(i);
    return key;
}

}  // namespace corvane::store
