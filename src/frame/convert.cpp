#include "frame/convert.hpp"

#include "frame/dict_walk.hpp"
#include "frame/host_policy.hpp"
#include "store/fault.hpp"

#include <optional>
#include <string_view>

namespace corvane::frame {

Result<double> to_double_by_host(PyObject* object)
{
    // CPython counts calls, and a __float__ written in Python is one; PyPy
    // measures stack, which the entry that leads here has already checked.
    Result<std::optional<RecursionGuard>> guard = guard_conversion();
    CORVANE_TRY(guard);
    double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        // What __float__ raised goes back as it is; see take_leaving_pending().
        if (std::optional<Failure> failure = take_leaving_pending()) {
            return fail(std::move(*failure));
        }
    }
    return value;
}

Result<store::Store> store_from_dict(PyObject* dict)
{
    if (std::optional<Result<store::Store>> bulk = store_from_plain_dict(dict)) {
        return std::move(*bulk);
    }
    return walk_entries(dict);
}

Result<PyObject*> store_to_dict(const store::Store& store)
{
    if (std::optional<Result<PyObject*>> bulk = plain_dict_from_store(store)) {
        return std::move(*bulk);
    }
    const std::size_t count = store.size();
    Ref dict = must(new_dict(count));
    const double* values = store.values->data();
    for (std::size_t position = 0; position < count; ++position) {
        std::string_view key = store.keys->key(position);
        Ref text = must(new_key_text(key));
        Ref number = must(PyFloat_FromDouble(values[position]));
        if (PyDict_SetItem(dict.get(), text.get(), number.get()) != 0) {
            return fail(fetch());
        }
    }
    return dict.release();
}

}  // namespace corvane::frame
