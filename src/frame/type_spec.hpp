// The class as the host sees it: name, flags, slots, method and attribute tables.
#pragma once

#include "frame/failure.hpp"

namespace corvane::frame {

// Creates the CorvaneDict type object from its specification (a new reference).
Result<PyTypeObject*> create_class_type();

}  // namespace corvane::frame
