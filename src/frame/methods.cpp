#include "frame/methods.hpp"

#include "frame/arguments.hpp"
#include "frame/boundary.hpp"
#include "frame/convert.hpp"
#include "frame/docstrings.hpp"
#include "frame/instance.hpp"
#include "frame/pickling.hpp"
#include "frame/type_spec.hpp"
#include "store/ops.hpp"

#include <array>

// Ends the body with the failure of a Result that holds one.
#define CORVANE_TRY(result)                                             \
    do {                                                                \
        if (!(result)) {                                                \
            return ::corvane::frame::fail(std::move((result).error())); \
        }                                                               \
    } while (false)

namespace corvane::frame {

namespace {

using store::Op;
using store::Store;

constexpr std::string_view dict_parameters[] = {"dict"};
constexpr std::string_view aligned_parameters[] = {"other", "fill"};
constexpr std::string_view scalar_parameters[] = {"value"};

constexpr FunctionDescription describe(const char* name, std::span<const std::string_view> parameters)
{
    return {"CorvaneDict", name, parameters, 0, 1, {}};
}

constexpr FunctionDescription new_description = describe("__new__", dict_parameters);
constexpr FunctionDescription add_description = describe("add", aligned_parameters);
constexpr FunctionDescription subtract_description = describe("subtract", aligned_parameters);
constexpr FunctionDescription multiply_description = describe("multiply", aligned_parameters);
constexpr FunctionDescription divide_description = describe("divide", aligned_parameters);
constexpr FunctionDescription add_scalar_description = describe("add_scalar", scalar_parameters);
constexpr FunctionDescription subtract_scalar_description = describe("subtract_scalar", scalar_parameters);
constexpr FunctionDescription multiply_scalar_description = describe("multiply_scalar", scalar_parameters);
constexpr FunctionDescription divide_scalar_description = describe("divide_scalar", scalar_parameters);
constexpr FunctionDescription reset_description = describe("reset", scalar_parameters);

Instance* instance_of(PyObject* object) { return reinterpret_cast<Instance*>(object); }

// The default of `fill` is the operator's identity, so that a key missing
// from `other` keeps the receiver's value.
constexpr double identity_of(Op op) { return op == Op::multiply || op == Op::divide ? 1.0 : 0.0; }

// add, subtract, multiply, divide: one routine, parameterised by the operator.
template <Op op, const FunctionDescription& description>
PyObject* aligned_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary([&]() -> Result<PyObject*> {
        std::array<PyObject*, 2> slots{};
        Status matched = extract_arguments_fastcall(description, args, nargs, kwnames, slots);
        CORVANE_TRY(matched);
        Result<SharedBorrow> receiver = borrow_receiver(self);
        CORVANE_TRY(receiver);
        Status other_checked = check_instance(slots[0], "other");
        CORVANE_TRY(other_checked);
        double fill = identity_of(op);
        if (slots[1] != nullptr) {
            Result<double> converted = to_double(slots[1]);
            if (!converted) {
                return fail(argument_extraction_error("fill", std::move(converted.error())));
            }
            fill = *converted;
        }
        Store result = [&] {
            // `other` stays alive and borrowed while its values are read.
            Ref keep_alive = Ref::borrow(slots[0]);
            Result<SharedBorrow> other = SharedBorrow::take(instance_of(slots[0]));
            if (!other) {
                store::fault("Already mutably borrowed: PyBorrowError");
            }
            return store::aligned(receiver->store(), other->store(), fill, op);
        }();
        return create_instance(std::move(result), class_type());
    });
}

// The scalar operations and reset: convert `value`, one pass over a copy.
template <Store (*operation)(const Store&, double), const FunctionDescription& description>
PyObject* scalar_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary([&]() -> Result<PyObject*> {
        std::array<PyObject*, 1> slots{};
        Status matched = extract_arguments_fastcall(description, args, nargs, kwnames, slots);
        CORVANE_TRY(matched);
        Result<SharedBorrow> receiver = borrow_receiver(self);
        CORVANE_TRY(receiver);
        Result<double> value = to_double(slots[0]);
        if (!value) {
            return fail(argument_extraction_error("value", std::move(value.error())));
        }
        return create_instance(operation(receiver->store(), *value), class_type());
    });
}

template <Op op>
Store scalar_operation(const Store& receiver, double value)
{
    return store::scalar(receiver, value, op);
}

template <double (*reduction)(const Store&)>
PyObject* reduction_entry(PyObject* self, PyObject* /*ignored*/) noexcept
{
    return boundary([&]() -> Result<PyObject*> {
        Result<SharedBorrow> receiver = borrow_receiver(self);
        CORVANE_TRY(receiver);
        return must(PyFloat_FromDouble(reduction(receiver->store()))).release();
    });
}

PyObject* to_dict_getter(PyObject* self, void* /*closure*/) noexcept
{
    return boundary([&]() -> Result<PyObject*> {
        Result<SharedBorrow> receiver = borrow_receiver(self);
        CORVANE_TRY(receiver);
        return store_to_dict(receiver->store());
    });
}

template <class Function>
PyCFunction as_method(Function function)
{
    // The host calls through the signature that the flags announce.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int fast = METH_FASTCALL | METH_KEYWORDS;

// PyPy's CorvaneDict.__new__ hands on whatever it is given as the class;
// building into a foreign, smaller object would write past its end. The
// messages are the ones CPython gives before it calls the constructor.
Status check_class_to_instantiate(PyTypeObject* type)
{
    PyObject* given = as_object(type);
    std::string prefix = std::string(class_spec_name) + ".__new__(";
    if (PyType_Check(given) == 0) {
        return fail(Failure::type_error(prefix + "X): X is not a type object (" + Py_TYPE(given)->tp_name + ")"));
    }
    PyTypeObject* own = class_type();
    if (type != own && PyType_IsSubtype(type, own) == 0) {
        return fail(Failure::type_error(prefix + type->tp_name + "): " + type->tp_name + " is not a subtype of " +
                                        class_spec_name));
    }
    return {};
}

}  // namespace

PyObject* construct_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept
{
    return boundary([&]() -> Result<PyObject*> {
        Status class_checked = check_class_to_instantiate(type);
        CORVANE_TRY(class_checked);
        std::array<PyObject*, 1> slots{};
        Status matched = extract_arguments_tuple_dict(new_description, args, kwargs, slots);
        CORVANE_TRY(matched);
        if (!PyDict_Check(slots[0])) {
            return fail(Failure::cast(Py_TYPE(slots[0]), "dict", "dict"));
        }
        Result<Store> made = store_from_dict(slots[0]);
        CORVANE_TRY(made);
        return create_instance(std::move(*made), type);
    });
}

PyMethodDef method_table[] = {
    {"add_scalar", as_method(scalar_entry<scalar_operation<Op::add>, add_scalar_description>), fast,
     docs::add_scalar_doc},
    {"add", as_method(aligned_entry<Op::add, add_description>), fast, docs::add_doc},
    {"subtract_scalar", as_method(scalar_entry<scalar_operation<Op::subtract>, subtract_scalar_description>), fast,
     docs::subtract_scalar_doc},
    {"subtract", as_method(aligned_entry<Op::subtract, subtract_description>), fast, docs::subtract_doc},
    {"multiply_scalar", as_method(scalar_entry<scalar_operation<Op::multiply>, multiply_scalar_description>), fast,
     docs::multiply_scalar_doc},
    {"multiply", as_method(aligned_entry<Op::multiply, multiply_description>), fast, docs::multiply_doc},
    {"divide_scalar", as_method(scalar_entry<scalar_operation<Op::divide>, divide_scalar_description>), fast,
     docs::divide_scalar_doc},
    {"divide", as_method(aligned_entry<Op::divide, divide_description>), fast, docs::divide_doc},
    {"sum", as_method(reduction_entry<store::sum>), METH_NOARGS, docs::sum_doc},
    {"product", as_method(reduction_entry<store::product>), METH_NOARGS, docs::product_doc},
    {"reset", as_method(scalar_entry<store::reset, reset_description>), fast, docs::reset_doc},
    {"__reduce__", as_method(reduce_entry), METH_NOARGS, docs::reduce_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef attribute_table[] = {
    {"to_dict", to_dict_getter, nullptr, docs::to_dict_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace corvane::frame
