#include "frame/pickling.hpp"

#include "frame/boundary.hpp"
#include "frame/type_spec.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace corvane::frame {

namespace {

// A host call whose null result is an ordinary failure (a MemoryError for a
// huge mapping, an import that finds no module), not a fault.
Result<Ref> made(PyObject* object)
{
    if (object == nullptr) {
        return fail(fetch());
    }
    return Ref::steal(object);
}

Result<Ref> key_list(const store::Store& store)
{
    const std::size_t count = store.size();
    Result<Ref> list = made(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) {
        return list;
    }
    for (std::size_t position = 0; position < count; ++position) {
        std::string_view key = store.keys->key(position);
        Result<Ref> text = made(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        CORVANE_TRY(text);
        // The list takes the reference, even when it fails.
        if (PyList_SetItem(list->get(), static_cast<Py_ssize_t>(position), text->release()) != 0) {
            return fail(fetch());
        }
    }
    return list;
}

Result<Ref> value_bytes(const store::Store& store)
{
    const std::size_t count = store.size();
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double)) {
        return fail(Failure::no_memory());
    }
    Result<Ref> bytes = made(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(double))));
    if (!bytes) {
        return bytes;
    }
    char* out = PyBytes_AS_STRING(bytes->get());
    const double* values = store.values->data();
    for (std::size_t position = 0; position < count; ++position) {
        auto pattern = std::bit_cast<std::uint64_t>(values[position]);
        if constexpr (std::endian::native == std::endian::big) {
            pattern = std::byteswap(pattern);
        }
        std::memcpy(out + position * sizeof(double), &pattern, sizeof(double));
    }
    return bytes;
}

}  // namespace

PyObject* reduce_entry(PyObject* self, PyObject* /*ignored*/) noexcept
{
    return boundary([&]() -> Result<PyObject*> {
        Result<SharedBorrow> receiver = borrow_receiver(self);
        CORVANE_TRY(receiver);
        Result<Ref> helper = made(PyImport_ImportModule(reconstructor_module));
        CORVANE_TRY(helper);
        Result<Ref> rebuild = made(PyObject_GetAttrString(helper->get(), reconstructor_name));
        CORVANE_TRY(rebuild);
        Result<Ref> keys = key_list(receiver->store());
        CORVANE_TRY(keys);
        Result<Ref> values = value_bytes(receiver->store());
        CORVANE_TRY(values);
        Result<Ref> arguments = made(PyTuple_Pack(2, keys->get(), values->get()));
        CORVANE_TRY(arguments);
        Result<Ref> reduced = made(PyTuple_Pack(2, rebuild->get(), arguments->get()));
        CORVANE_TRY(reduced);
        return reduced->release();
    });
}

}  // namespace corvane::frame
