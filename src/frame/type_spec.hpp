// The class as the host sees it: name, flags, slots, method and attribute tables.
#pragma once

#include "frame/failure.hpp"

namespace corvane::frame {

// The class's name as its specification gives it: the host's messages about
// the class (and the module's own, which follow them) use this form.
inline constexpr const char* class_spec_name = "builtins.CorvaneDict";

// Creates the CorvaneDict type object from its specification (a new reference).
Result<PyTypeObject*> create_class_type();

}  // namespace corvane::frame
