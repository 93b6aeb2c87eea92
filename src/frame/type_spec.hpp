// The class as the host sees it: name, flags, slots, method and attribute tables.
#pragma once

#include "frame/failure.hpp"
#include "frame/instance.hpp"

namespace corvane::frame {

// The class's name as its PyType_Spec gives it: the host's messages about
// the class (and the module's own, which follow them) use this form.
inline constexpr const char* class_spec_name = "builtins.CorvaneDict";

// The host's pending exception, as the cause of the class's creation failure.
Failure class_creation_failure();

// Creates the CorvaneDict type object from its PyType_Spec (a new reference).
Result<PyTypeObject*> create_class_type();

// The class's type object, made by the module's first initialisation.
Result<PyTypeObject*> get_or_create_class_type();
// The type object for code that runs after initialisation: its absence is a fault.
PyTypeObject* class_type();

bool is_instance(PyObject* object);

// An instance of the class (or a subtype) that holds a store. PyPy lets
// object.__new__ make an instance without running the constructor; such an
// instance holds no store (the host zero-fills what it allocates) and is
// refused wherever it is used. `argument` names the parameter in the message,
// or is null for the receiver.
Status check_instance(PyObject* object, const char* argument);

// Receiver conversion: a CorvaneDict (or subtype) instance, borrowed.
Result<SharedBorrow> borrow_receiver(PyObject* receiver);

}  // namespace corvane::frame
