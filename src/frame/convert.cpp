#include "frame/convert.hpp"

#include "frame/bulk.hpp"
#include "frame/dict_walk.hpp"
#include "frame/recursion_guard.hpp"
#include "store/fault.hpp"

#include <string_view>

namespace corvane::frame {

Result<double> to_double_by_host(PyObject* object)
{
    Result<RecursionGuard> guard = RecursionGuard::enter(" while calling a Python object");
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

namespace {

// A dict sized for n entries up front, so that filling it never resizes.
PyObject* new_dict(std::size_t n)
{
#if defined(PYPY_VERSION)
    (void)n;  // PyPy offers C code no presized dict
    return PyDict_New();
#else
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
#endif
}

}  // namespace

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
        Ref text = must(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        Ref number = must(PyFloat_FromDouble(values[position]));
        if (PyDict_SetItem(dict.get(), text.get(), number.get()) != 0) {
            return fail(fetch());
        }
    }
    return dict.release();
}

}  // namespace corvane::frame
