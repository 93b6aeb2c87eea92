// Table-driven argument matching. Each callable has one static description;
// one matcher per calling form serves them all. Slots are a fixed array in the
// caller's frame holding borrowed references; messages are built only on failure.
#pragma once

#include "frame/failure.hpp"

#include <cstddef>
#include <span>
#include <string_view>

namespace corvane::frame {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

struct FunctionDescription {
    const char* class_name;  // may be null
    const char* function_name;
    std::span<const std::string_view> positional_parameter_names;
    std::size_t positional_only_parameters;
    std::size_t required_positional_parameters;
    std::span<const KeywordOnlyParameter> keyword_only_parameters;

    std::size_t slot_count() const noexcept
    {
        return positional_parameter_names.size() + keyword_only_parameters.size();
    }
};

// Fast calling form: positional values first in `args`, then one value per name
// in `kwnames` (a tuple or null).
Status extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, std::span<PyObject*> slots);

// Tuple-and-dict calling form (the constructor).
Status extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                                    std::span<PyObject*> slots);

// The failure to report for a parameter whose conversion failed: a plain
// TypeError gains the parameter's name, anything else passes unchanged.
Failure argument_extraction_error(const char* name, Failure failure);

}  // namespace corvane::frame
