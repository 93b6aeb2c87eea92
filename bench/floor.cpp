// corvane_floor: what the host and the machine allow at best, measured in the
// same run as the module so that the module's numbers can be read as ratios.
//
// - walk(d): the least work construction must do, a PyDict_Next walk reading
//   each key's UTF-8 and each value.
// - load(keys, values) then build(): the least work export must do, a dict of
//   new str and float objects made from bytes and doubles held in C.
// - walk_bulk(d), build_bulk(): the same two crossings in bulk, the way the
//   module makes them on PyPy: C copies the dict, a helper in Python returns
//   the keys' UTF-8 in one bytes and the values in one array('d'), which C
//   reads through the buffer protocol; the
//   export hands a helper one bytes of keys and one of doubles, and the helper
//   builds the dict. Neither checks types or builds a store.
// - fresh(n): the least an operation returning a new object must do on this
//   host: a new instance of a C type holding its own copy of n held doubles
//   times two, its block reported to the host as the module reports its own
//   (to PyPy's collector at twice its size), freed when the instance goes.
//   Its time per entry in a loop that drops each result is the host's floor
//   for the module's operations. Call hold(n) first.
// - machine(n, reps): ns per element of a plain copy, of c[i] = a[i] + b[i],
//   and of the running sum and product folds over n doubles, timed in C.
//
// Built for the benchmark only; never installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "timing.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string key_bytes;
std::vector<std::size_t> key_offsets{0};
std::vector<double> key_values;

// Keeps a result alive so that the compiler cannot drop the loop computing it.
volatile double sink;

PyObject* walk(PyObject*, PyObject* dict)
{
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "walk() needs a dict");
        return nullptr;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    double check = 0.0;
    while (PyDict_Next(dict, &position, &key, &value) != 0) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
        if (utf8 == nullptr) {
            return nullptr;
        }
        const double number = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
        check += number + static_cast<double>(length);
    }
    return PyFloat_FromDouble(check);
}

PyObject* load(PyObject*, PyObject* args)
{
    PyObject* keys = nullptr;
    PyObject* values = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!", &PyList_Type, &keys, &PyList_Type, &values)) {
        return nullptr;
    }
    key_bytes.clear();
    key_offsets.assign(1, 0);
    key_values.clear();
    for (Py_ssize_t i = 0; i < PyList_Size(keys) && i < PyList_Size(values); ++i) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(PyList_GetItem(keys, i), &length);
        if (utf8 == nullptr) {
            return nullptr;
        }
        key_bytes.append(utf8, static_cast<std::size_t>(length));
        key_offsets.push_back(key_bytes.size());
        key_values.push_back(PyFloat_AsDouble(PyList_GetItem(values, i)));
    }
    Py_RETURN_NONE;
}

PyObject* new_dict(std::size_t n)
{
#if defined(PYPY_VERSION)
    (void)n;
    return PyDict_New();
#else
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
#endif
}

PyObject* build(PyObject*, PyObject*)
{
    const std::size_t n = key_values.size();
    PyObject* dict = new_dict(n);
    if (dict == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* key = PyUnicode_FromStringAndSize(key_bytes.data() + key_offsets[i],
                                                    static_cast<Py_ssize_t>(key_offsets[i + 1] - key_offsets[i]));
        PyObject* value = key != nullptr ? PyFloat_FromDouble(key_values[i]) : nullptr;
        const int stored = value != nullptr ? PyDict_SetItem(dict, key, value) : -1;
        Py_XDECREF(value);
        Py_XDECREF(key);
        if (stored != 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

// The bulk helpers, compiled once into a module namespace of their own (the
// JIT reads a module's globals much faster than a plain dict's).
PyObject* bulk_gather = nullptr;
PyObject* bulk_build = nullptr;

constexpr const char bulk_source[] = R"(
from array import array


def gather(snapshot):
    return array("B", "\0".join(list(snapshot)).encode("utf-8")), array("d", list(snapshot.values()))


def build(text, numbers):
    keys = text.decode("utf-8").split("\0")
    values = array("d")
    values.frombytes(numbers)
    made = {}
    for i in range(len(keys)):
        made[keys[i]] = values[i]
    return made
)";

bool load_bulk_helpers()
{
    if (bulk_gather != nullptr) {
        return true;
    }
    PyObject* module = PyModule_New("corvane_floor.bulk");
    if (module == nullptr) {
        return false;
    }
    PyObject* globals = PyModule_GetDict(module);
    PyObject* ran = PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0
                        ? PyRun_String(bulk_source, Py_file_input, globals, globals)
                        : nullptr;
    if (ran == nullptr) {
        Py_DECREF(module);
        return false;
    }
    Py_DECREF(ran);
    bulk_gather = PyDict_GetItemString(globals, "gather");
    bulk_build = PyDict_GetItemString(globals, "build");
    Py_XINCREF(bulk_gather);
    Py_XINCREF(bulk_build);
    Py_DECREF(module);
    return bulk_gather != nullptr && bulk_build != nullptr;
}

PyObject* walk_bulk(PyObject*, PyObject* dict)
{
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "walk_bulk() needs a dict");
        return nullptr;
    }
    if (!load_bulk_helpers()) {
        return nullptr;
    }
    // A copy made in C: one state of the dict, and one object to cross (a
    // list would cross with a C-level copy of every item).
    PyObject* snapshot = PyDict_Copy(dict);
    PyObject* gathered = snapshot != nullptr ? PyObject_CallFunctionObjArgs(bulk_gather, snapshot, nullptr) : nullptr;
    Py_XDECREF(snapshot);
    if (gathered == nullptr) {
        return nullptr;
    }
    Py_buffer text{}, numbers{};
    double check = 0.0;
    if (PyObject_GetBuffer(PyTuple_GetItem(gathered, 0), &text, PyBUF_SIMPLE) == 0) {
        if (PyObject_GetBuffer(PyTuple_GetItem(gathered, 1), &numbers, PyBUF_SIMPLE) == 0) {
            // Every key boundary and every value, as the module reads them.
            const char* cursor = static_cast<const char*>(text.buf);
            const char* end = cursor + text.len;
            while (const void* stop = std::memchr(cursor, 0, static_cast<std::size_t>(end - cursor))) {
                check += static_cast<double>(static_cast<const char*>(stop) - cursor);
                cursor = static_cast<const char*>(stop) + 1;
            }
            const auto* bytes = static_cast<const char*>(numbers.buf);
            for (Py_ssize_t i = 0; i + 8 <= numbers.len; i += 8) {
                double number = 0.0;
                std::memcpy(&number, bytes + i, sizeof number);
                check += number;
            }
            PyBuffer_Release(&numbers);
        }
        PyBuffer_Release(&text);
    }
    Py_DECREF(gathered);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return PyFloat_FromDouble(check);
}

PyObject* build_bulk(PyObject*, PyObject*)
{
    const std::size_t n = key_values.size();
    if (!load_bulk_helpers()) {
        return nullptr;
    }
    // The keys separated by NUL (the benchmark's keys hold none).
    const std::size_t text_size = key_bytes.size() + (n == 0 ? 0 : n - 1);
    PyObject* text = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(text_size));
    if (text == nullptr) {
        return nullptr;
    }
    char* out = PyBytes_AsString(text);
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) {
            *out++ = '\0';
        }
        std::memcpy(out, key_bytes.data() + key_offsets[i], key_offsets[i + 1] - key_offsets[i]);
        out += key_offsets[i + 1] - key_offsets[i];
    }
    PyObject* numbers = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key_values.data()),
                                                  static_cast<Py_ssize_t>(n * sizeof(double)));
    PyObject* made = numbers != nullptr ? PyObject_CallFunctionObjArgs(bulk_build, text, numbers, nullptr) : nullptr;
    Py_XDECREF(numbers);
    Py_DECREF(text);
    return made;
}

using corvane::bench::median_ns;

PyObject* machine(PyObject*, PyObject* args)
{
    Py_ssize_t size = 0;
    int reps = 0;
    if (!PyArg_ParseTuple(args, "ni", &size, &reps) || size <= 0 || reps <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "machine() needs n > 0 and reps > 0");
        }
        return nullptr;
    }
    const auto n = static_cast<std::size_t>(size);
    std::vector<double> a(n), b(n), c(n);
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = 1.0 + static_cast<double>(i % 1000) * 1e-3;
        b[i] = 2.0 - static_cast<double>(i % 997) * 1e-3;
    }
    double* const pa = a.data();
    double* const pb = b.data();
    double* const pc = c.data();
    const auto copy = [&] {
        std::memcpy(pc, pa, n * sizeof(double));
        sink = pc[n / 2];
    };
    const auto add = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            pc[i] = pa[i] + pb[i];
        }
        sink = pc[n / 2];
    };
    const auto fold_sum = [&] {
        double total = -0.0;
        for (std::size_t i = 0; i < n; ++i) {
            total += pa[i];
        }
        sink = total;
    };
    const auto fold_product = [&] {
        double total = 1.0;
        for (std::size_t i = 0; i < n; ++i) {
            total *= pa[i];
        }
        sink = total;
    };
    return Py_BuildValue("{s:d,s:d,s:d,s:d}", "copy", median_ns(n, reps, copy), "add", median_ns(n, reps, add), "sum",
                         median_ns(n, reps, fold_sum), "product", median_ns(n, reps, fold_product));
}

// --- fresh(n) ------------------------------------------------------------------

std::vector<double> held;
PyTypeObject* fresh_type = nullptr;

struct Fresh {
    PyObject_HEAD double* values;
};

void fresh_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    std::free(reinterpret_cast<Fresh*>(self)->values);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot fresh_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(fresh_dealloc)}, {0, nullptr}};
PyType_Spec fresh_spec = {"corvane_floor.Fresh", sizeof(Fresh), 0, Py_TPFLAGS_DEFAULT, fresh_slots};

PyObject* hold(PyObject*, PyObject* arg)
{
    const Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "hold() needs n >= 0");
        }
        return nullptr;
    }
    held.resize(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < held.size(); ++i) {
        held[i] = 1.0 + static_cast<double>(i % 1000) * 1e-3;
    }
    if (fresh_type == nullptr) {
        fresh_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&fresh_spec));
        if (fresh_type == nullptr) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* fresh(PyObject*, PyObject*)
{
    if (fresh_type == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "call hold(n) first");
        return nullptr;
    }
    const std::size_t n = held.size();
    // One byte more, so that n == 0 still gives a block.
    auto* values = static_cast<double*>(std::malloc(n * sizeof(double) + 1));
    if (values == nullptr) {
        return PyErr_NoMemory();
    }
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = held[i] * 2.0;
    }
    PyObject* self = fresh_type->tp_alloc(fresh_type, 0);
    if (self == nullptr) {
        std::free(values);
        return nullptr;
    }
    reinterpret_cast<Fresh*>(self)->values = values;
#ifdef PYPY_VERSION
    (void)PyTraceMalloc_Track(0, reinterpret_cast<std::uintptr_t>(values), 2 * n * sizeof(double));
#endif
    return self;
}

PyMethodDef methods[] = {
    {"walk", walk, METH_O, "Walk a dict reading each key's UTF-8 and each value."},
    {"load", load, METH_VARARGS, "Hold keys and values in C for build()."},
    {"build", build, METH_NOARGS, "A new dict of the loaded keys and values."},
    {"walk_bulk", walk_bulk, METH_O, "Take a dict's keys' UTF-8 and values in bulk through a Python helper."},
    {"build_bulk", build_bulk, METH_NOARGS, "A new dict of the loaded keys and values, built by a Python helper."},
    {"machine", machine, METH_VARARGS, "ns per element of copy, add, sum and product folds in C."},
    {"hold", hold, METH_O, "Hold n doubles in C for fresh()."},
    {"fresh", fresh, METH_NOARGS, "A new object of a C type holding twice the held doubles."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "corvane_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_corvane_floor() { return PyModule_Create(&module); }
