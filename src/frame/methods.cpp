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

namespace corvane::frame {

namespace {

using store::Op;
using store::Store;

constexpr std::string_view dict_parameters[] = {"dict"};
constexpr std::string_view aligned_parameters[] = {"other", "fill"};
constexpr std::string_view scalar_parameters[] = {"value"};

// One row per callable: its name, its parameters, the default of `fill` where
// it has one, and its docstring after the text signature. The matcher's
// description of the call, the host's method table, the text signature at the
// head of the docstring and the default that the call applies all come from
// the row; the stub is checked against what the host shows of them.
struct Method {
    const char* name;
    std::span<const std::string_view> parameters;
    const char* doc;
    double fill = 0.0;
};

// The default of `fill` is the operator's identity, so that a key missing
// from `other` keeps the receiver's value.
namespace rows {
constexpr Method construct{.name = "__new__", .parameters = dict_parameters, .doc = docs::class_doc};
constexpr Method add{.name = "add", .parameters = aligned_parameters, .doc = docs::add_doc, .fill = 0.0};
constexpr Method subtract{.name = "subtract", .parameters = aligned_parameters, .doc = docs::subtract_doc, .fill = 0.0};
constexpr Method multiply{.name = "multiply", .parameters = aligned_parameters, .doc = docs::multiply_doc, .fill = 1.0};
constexpr Method divide{.name = "divide", .parameters = aligned_parameters, .doc = docs::divide_doc, .fill = 1.0};
constexpr Method add_scalar{.name = "add_scalar", .parameters = scalar_parameters, .doc = docs::add_scalar_doc};
constexpr Method subtract_scalar{
    .name = "subtract_scalar", .parameters = scalar_parameters, .doc = docs::subtract_scalar_doc};
constexpr Method multiply_scalar{
    .name = "multiply_scalar", .parameters = scalar_parameters, .doc = docs::multiply_scalar_doc};
constexpr Method divide_scalar{
    .name = "divide_scalar", .parameters = scalar_parameters, .doc = docs::divide_scalar_doc};
constexpr Method reset{.name = "reset", .parameters = scalar_parameters, .doc = docs::reset_doc};
constexpr Method sum{.name = "sum", .parameters = {}, .doc = docs::sum_doc};
constexpr Method product{.name = "product", .parameters = {}, .doc = docs::product_doc};
constexpr Method reduce{.name = "__reduce__", .parameters = {}, .doc = docs::reduce_doc};
}  // namespace rows

// Text built at compile time, into a buffer large enough for any docstring.
struct Text {
    std::array<char, 1024> chars{};
    std::size_t size = 0;

    constexpr void append(std::string_view part)
    {
        for (char c : part) {
            chars.at(size++) = c;
        }
    }
};

// A default as Python's repr() writes it; a whole number is all a row holds.
constexpr void append_float(Text& text, double value)
{
    if (value < 0) {
        text.append("-");
        value = -value;
    }
    auto whole = static_cast<unsigned long long>(value);
    if (static_cast<double>(whole) != value || whole >= 1'000'000) {
        throw "a default must be a small whole number";
    }
    std::array<char, 8> digits{};
    std::size_t count = 0;
    do {
        digits.at(count++) = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    while (count != 0) {
        text.append(std::string_view(&digits.at(--count), 1));
    }
    text.append(".0");
}

// "name($self, a, fill=0.0)", the line the host reads as the text signature,
// then the row's docstring.
constexpr Text compose_doc(const Method& method)
{
    Text text;
    text.append(method.name);
    text.append("($self");
    for (std::string_view parameter : method.parameters) {
        text.append(", ");
        text.append(parameter);
        if (parameter == "fill") {
            text.append("=");
            append_float(text, method.fill);
        }
    }
    text.append(")\n--\n\n");
    text.append(method.doc);
    return text;
}

// The docstring of `method`, NUL-terminated, in storage of its own size.
template <const Method& method>
constexpr auto docstring = [] {
    constexpr Text text = compose_doc(method);
    std::array<char, text.size + 1> chars{};
    for (std::size_t i = 0; i < text.size; ++i) {
        chars.at(i) = text.chars.at(i);
    }
    return chars;
}();

// Every parameter may be passed by position or by keyword; only the first is required.
constexpr FunctionDescription describe(const Method& method)
{
    return {.class_name = "CorvaneDict",
            .function_name = method.name,
            .positional_parameter_names = method.parameters,
            .positional_only_parameters = 0,
            .required_positional_parameters = 1,
            .keyword_only_parameters = {}};
}

Instance* instance_of(PyObject* object) { return reinterpret_cast<Instance*>(object); }

// What every method with parameters does first: the call's arguments matched
// into `slots`, then the receiver borrowed.
template <const Method& method, std::size_t count>
Result<SharedBorrow> match_and_borrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                      std::array<PyObject*, count>& slots)
{
    static constexpr FunctionDescription description = describe(method);
    CORVANE_TRY(extract_arguments_fastcall(description, args, nargs, kwnames, slots));
    return borrow_receiver(self);
}

// A float argument, a failed conversion reported under the parameter's name.
Result<double> float_argument(PyObject* object, const char* name)
{
    Result<double> converted = to_double(object);
    if (!converted) {
        return fail(argument_extraction_error(name, std::move(converted.error())));
    }
    return converted;
}

// add, subtract, multiply, divide: one routine, parameterised by the operator.
template <Op op, const Method& method>
PyObject* aligned_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary([&]() -> Result<PyObject*> {
        std::array<PyObject*, 2> slots{};
        Result<SharedBorrow> receiver = match_and_borrow<method>(self, args, nargs, kwnames, slots);
        CORVANE_TRY(receiver);
        CORVANE_TRY(check_instance(slots[0], "other"));
        double fill = method.fill;
        if (slots[1] != nullptr) {
            Result<double> converted = float_argument(slots[1], "fill");
            CORVANE_TRY(converted);
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
template <Store (*operation)(const Store&, double), const Method& method>
PyObject* scalar_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary([&]() -> Result<PyObject*> {
        std::array<PyObject*, 1> slots{};
        Result<SharedBorrow> receiver = match_and_borrow<method>(self, args, nargs, kwnames, slots);
        CORVANE_TRY(receiver);
        Result<double> value = float_argument(slots[0], "value");
        CORVANE_TRY(value);
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

// The method table's row for `method`, called through `entry`.
template <const Method& method, auto entry, int flags = fast>
PyMethodDef row()
{
    return {.ml_name = method.name, .ml_meth = as_method(entry), .ml_flags = flags, .ml_doc = docstring<method>.data()};
}

// On PyPy the constructor gets whatever the caller gives as the class;
// building into a foreign, smaller object would write past its end. The
// messages are the ones CPython gives before it calls the constructor.
Status check_class_to_instantiate(PyObject* given)
{
    std::string prefix = std::string(class_spec_name) + ".__new__(";
    if (PyType_Check(given) == 0) {
        return fail(Failure::type_error(prefix + "X): X is not a type object (" + Py_TYPE(given)->tp_name + ")"));
    }
    auto* type = reinterpret_cast<PyTypeObject*>(given);
    PyTypeObject* own = class_type();
    if (type != own && PyType_IsSubtype(type, own) == 0) {
        return fail(Failure::type_error(prefix + type->tp_name + "): " + type->tp_name + " is not a subtype of " +
                                        class_spec_name));
    }
    return {};
}

Result<PyObject*> construct(PyTypeObject* type, PyObject* given)
{
    if (!PyDict_Check(given)) {
        return fail(Failure::cast(Py_TYPE(given), "dict", "dict"));
    }
    Result<Store> made = store_from_dict(given);
    CORVANE_TRY(made);
    return create_instance(std::move(*made), type);
}

}  // namespace

Result<PyObject*> construct_from_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr FunctionDescription description = describe(rows::construct);
    if (nargs < 1) {
        return fail(Failure::type_error(std::string(class_spec_name) + ".__new__(): not enough arguments"));
    }
    CORVANE_TRY(check_class_to_instantiate(args[0]));
    std::array<PyObject*, 1> slots{};
    CORVANE_TRY(extract_arguments_fastcall(description, args + 1, nargs - 1, kwnames, slots));
    return construct(reinterpret_cast<PyTypeObject*>(args[0]), slots[0]);
}

Result<PyObject*> construct_from_tuple(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static constexpr FunctionDescription description = describe(rows::construct);
    CORVANE_TRY(check_class_to_instantiate(as_object(type)));
    std::array<PyObject*, 1> slots{};
    CORVANE_TRY(extract_arguments_tuple_dict(description, args, kwargs, slots));
    return construct(type, slots[0]);
}

PyMethodDef method_table[] = {
    row<rows::add_scalar, scalar_entry<scalar_operation<Op::add>, rows::add_scalar>>(),
    row<rows::add, aligned_entry<Op::add, rows::add>>(),
    row<rows::subtract_scalar, scalar_entry<scalar_operation<Op::subtract>, rows::subtract_scalar>>(),
    row<rows::subtract, aligned_entry<Op::subtract, rows::subtract>>(),
    row<rows::multiply_scalar, scalar_entry<scalar_operation<Op::multiply>, rows::multiply_scalar>>(),
    row<rows::multiply, aligned_entry<Op::multiply, rows::multiply>>(),
    row<rows::divide_scalar, scalar_entry<scalar_operation<Op::divide>, rows::divide_scalar>>(),
    row<rows::divide, aligned_entry<Op::divide, rows::divide>>(),
    row<rows::sum, reduction_entry<store::sum>, METH_NOARGS>(),
    row<rows::product, reduction_entry<store::product>, METH_NOARGS>(),
    row<rows::reset, scalar_entry<store::reset, rows::reset>>(),
    row<rows::reduce, reduce_entry, METH_NOARGS>(),
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};
static_assert(std::size(method_table) == method_count + 1);

PyGetSetDef attribute_table[] = {
    {"to_dict", to_dict_getter, nullptr, docs::to_dict_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace corvane::frame
