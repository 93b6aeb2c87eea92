#include "frame/arguments.hpp"

#include <optional>
#include <string>
#include <vector>

namespace corvane::frame {

namespace {

std::string full_name(const FunctionDescription& description)
{
    std::string name;
    if (description.class_name != nullptr) {
        name.append(description.class_name).append(".");
    }
    return name.append(description.function_name).append("()");
}

void push_parameter_list(std::string& message, const std::vector<std::string_view>& names)
{
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                message.append(",");
            }
            message.append(i + 1 == names.size() ? " and " : " ");
        }
        message.append("'").append(names[i]).append("'");
    }
}

Failure too_many_positional_arguments(const FunctionDescription& description, Py_ssize_t given)
{
    std::size_t maximum = description.positional_parameter_names.size();
    std::string message = full_name(description) + " takes ";
    if (description.required_positional_parameters == maximum) {
        message += std::to_string(maximum);
    } else {
        message += "from " + std::to_string(description.required_positional_parameters) + " to " +
                   std::to_string(maximum);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return Failure::type_error(std::move(message));
}

// str(object), as a str object. When str() itself fails, the message still has
// to be told, so that failure cannot be raised: it goes to the interpreter's
// unraisable hook, with the object, and the result is null.
Ref shown_or_reported(PyObject* object)
{
    Ref text = Ref::steal(PyObject_Str(object));
    if (!text) {
        if (std::optional<Failure> failure = take()) {
            write_unraisable(std::move(*failure), object);
        }
    }
    return text;
}

// A message that holds what str() showed of an object, joined as str objects
// so that text with no UTF-8 form (a lone surrogate) stays what it is. The
// shown text can be as long as the caller made it, so the host may have no
// memory left for the message: that is the failure then (MemoryError).
Result<Ref> message_around(const std::string& head, PyObject* shown, const char* tail)
{
    Ref start = Ref::steal(PyUnicode_FromStringAndSize(head.data(), static_cast<Py_ssize_t>(head.size())));
    Ref joined = start ? Ref::steal(PyUnicode_Concat(start.get(), shown)) : Ref();
    Ref end = joined ? Ref::steal(PyUnicode_FromString(tail)) : Ref();
    Ref message = end ? Ref::steal(PyUnicode_Concat(joined.get(), end.get())) : Ref();
    if (!message) {
        return fail(fetch());
    }
    return message;
}

Failure type_error_around(const std::string& head, PyObject* shown, const char* tail)
{
    Result<Ref> message = message_around(head, shown, tail);
    if (!message) {
        return std::move(message.error());
    }
    return Failure::type_error(std::move(*message));
}

// The name is shown as str() shows it.
Failure unexpected_keyword_argument(const FunctionDescription& description, PyObject* keyword)
{
    std::string head = full_name(description) + " got an unexpected keyword argument '";
    Ref name = shown_or_reported(keyword);
    if (!name) {
        return Failure::type_error(head + "<unprintable keyword>'");
    }
    return type_error_around(head, name.get(), "'");
}

Failure multiple_values_for_argument(const FunctionDescription& description, std::string_view name)
{
    return Failure::type_error(full_name(description) + " got multiple values for argument '" + std::string(name) +
                               "'");
}

Failure positional_only_keyword_arguments(const FunctionDescription& description,
                                          const std::vector<std::string_view>& names)
{
    std::string message = full_name(description) + " got some positional-only arguments passed as keyword arguments: ";
    push_parameter_list(message, names);
    return Failure::type_error(std::move(message));
}

Failure missing_required_arguments(const FunctionDescription& description, const char* kind,
                                   const std::vector<std::string_view>& names)
{
    std::string message = full_name(description) + " missing " + std::to_string(names.size()) + " required " + kind +
                          (names.size() == 1 ? " argument: " : " arguments: ");
    push_parameter_list(message, names);
    return Failure::type_error(std::move(message));
}

// The steps after the positional values are in place, shared by both forms.
// `next_keyword` yields (name, value) pairs in call order and false at the end.
template <class NextKeyword>
Status match_keywords_and_check(const FunctionDescription& description, Py_ssize_t nargs, std::span<PyObject*> slots,
                                NextKeyword&& next_keyword)
{
    const auto& positional = description.positional_parameter_names;
    const auto& keyword_only = description.keyword_only_parameters;
    std::vector<std::string_view> positional_only_by_keyword;  // allocated only when needed

    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (next_keyword(name, value)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
            return fail(unexpected_keyword_argument(description, name));
        }
        std::string_view text(utf8, static_cast<std::size_t>(size));
        bool matched = false;
        for (std::size_t k = 0; k < keyword_only.size() && !matched; ++k) {
            if (keyword_only[k].name == text) {
                PyObject*& slot = slots[positional.size() + k];
                if (slot != nullptr) {
                    return fail(multiple_values_for_argument(description, keyword_only[k].name));
                }
                slot = value;
                matched = true;
            }
        }
        for (std::size_t i = 0; i < positional.size() && !matched; ++i) {
            if (positional[i] == text) {
                matched = true;
                if (i < description.positional_only_parameters) {
                    positional_only_by_keyword.push_back(positional[i]);
                } else if (slots[i] != nullptr) {
                    return fail(multiple_values_for_argument(description, positional[i]));
                } else {
                    slots[i] = value;
                }
            }
        }
        if (!matched) {
            return fail(unexpected_keyword_argument(description, name));
        }
    }
    if (!positional_only_by_keyword.empty()) {
        return fail(positional_only_keyword_arguments(description, positional_only_by_keyword));
    }
    auto required = static_cast<Py_ssize_t>(description.required_positional_parameters);
    if (nargs < required) {
        bool missing = false;
        for (auto i = static_cast<std::size_t>(nargs); i < description.required_positional_parameters; ++i) {
            missing = missing || slots[i] == nullptr;
        }
        if (missing) {
            std::vector<std::string_view> names;
            for (std::size_t i = 0; i < description.required_positional_parameters; ++i) {
                if (slots[i] == nullptr) {
                    names.push_back(positional[i]);
                }
            }
            return fail(missing_required_arguments(description, "positional", names));
        }
    }
    std::vector<std::string_view> missing_keywords;
    for (std::size_t k = 0; k < keyword_only.size(); ++k) {
        if (keyword_only[k].required && slots[positional.size() + k] == nullptr) {
            missing_keywords.push_back(keyword_only[k].name);
        }
    }
    if (!missing_keywords.empty()) {
        return fail(missing_required_arguments(description, "keyword", missing_keywords));
    }
    return {};
}

// Copies the positional values; too many of them fail before keywords are read.
Status place_positional(const FunctionDescription& description, PyObject* const* values, Py_ssize_t nargs,
                        std::span<PyObject*> slots)
{
    std::size_t count = description.positional_parameter_names.size();
    auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < given && i < count; ++i) {
        slots[i] = values[i];
    }
    if (given > count) {
        return fail(too_many_positional_arguments(description, nargs));
    }
    return {};
}

}  // namespace

Status extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, std::span<PyObject*> slots)
{
    if (Status placed = place_positional(description, args, nargs, slots); !placed) {
        return placed;
    }
    Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t next = 0;
    return match_keywords_and_check(description, nargs, slots, [&](PyObject*& name, PyObject*& value) {
        if (next >= keyword_count) {
            return false;
        }
        name = PyTuple_GET_ITEM(kwnames, next);
        value = args[nargs + next];
        ++next;
        return true;
    });
}

Status extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                                    std::span<PyObject*> slots)
{
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (Status placed = place_positional(description, &PyTuple_GET_ITEM(args, 0), nargs, slots); !placed) {
        return placed;
    }
    Py_ssize_t position = 0;
    return match_keywords_and_check(description, nargs, slots, [&](PyObject*& name, PyObject*& value) {
        return kwargs != nullptr && PyDict_Next(kwargs, &position, &name, &value) != 0;
    });
}

Failure argument_extraction_error(const char* name, Failure failure)
{
    if (!failure.has_exact_type(PyExc_TypeError)) {
        return failure;
    }
    PyObject* error = failure.value();
    std::string head = "argument '" + std::string(name) + "': ";
    Ref text = shown_or_reported(error);
    if (!text) {
        std::string type_name;
        if (!type_qualname(Py_TYPE(error), type_name)) {
            type_name = "<failed to extract type name>";
        }
        std::string placeholder = "<unprintable " + type_name + " object>";
        text = Ref::steal(PyUnicode_FromStringAndSize(placeholder.data(), static_cast<Py_ssize_t>(placeholder.size())));
        if (!text) {
            return fetch();
        }
    }
    Result<Ref> message = message_around(head, text.get(), "");
    if (!message) {
        return std::move(message.error());
    }
    Failure wrapped = Failure::type_error(std::move(*message));
    if (Ref cause = failure.cause()) {
        wrapped.set_cause(std::move(cause));
    }
    return wrapped;
}

}  // namespace corvane::frame
