// The docstrings Python code sees. A method's docstring begins with its text
// signature ("name($self, ...)" then "--" and an empty line), which the host
// exposes as __text_signature__; methods.cpp writes that line from the
// method's row, so only the text after it is here.
#pragma once

namespace corvane::frame::docs {

inline constexpr const char class_doc[] = "CorvaneDict(dict)\n--\n\n";

// The text the host gives the constructor it makes from a class's slot.
inline constexpr const char new_doc[] = "Create and return a new object.  See help(type) for accurate signature.";

inline constexpr const char add_scalar_doc[] =
    "Adds a scalar value (single value) to every value in the dictionary.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d = corvane.CorvaneDict({\"a\": 1.0, \"b\": 2.0})\n"
    ">>> d.add_scalar(10.0).to_dict\n"
    "{'a': 11.0, 'b': 12.0}\n"
    "```";

inline constexpr const char add_doc[] =
    "Adds values (d1 + d2), aligned on d1s keys. Only keys from d1 are\n"
    "considered, if key from d1 is absent from d2, a fill value can optionally\n"
    "be used as the argument for +.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d1 = corvane.CorvaneDict({\"a\": 1.0, \"b\": 2.0})\n"
    ">>> d2 = corvane.CorvaneDict({\"b\": 10.0})\n"
    ">>> d1.add(d2).to_dict\n"
    "{'a': 1.0, 'b': 12.0}\n"
    ">>> d1.add(d2, fill=5.0).to_dict\n"
    "{'a': 6.0, 'b': 12.0}\n"
    "```";

inline constexpr const char subtract_scalar_doc[] =
    "Subtracts a scalar value (single value) to every value in the dictionary.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d = corvane.CorvaneDict({\"a\": 5.0, \"b\": 10.0})\n"
    ">>> d.subtract_scalar(3.0).to_dict\n"
    "{'a': 2.0, 'b': 7.0}\n"
    "```";

inline constexpr const char subtract_doc[] =
    "Subtracts values (d1 - d2), aligned on d1s keys. Only keys from d1 are\n"
    "considered, if key from d1 is absent from d2, a fill value can optionally\n"
    "be used as the argument for -.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d1 = corvane.CorvaneDict({\"a\": 10.0, \"b\": 5.0})\n"
    ">>> d2 = corvane.CorvaneDict({\"b\": 2.0})\n"
    ">>> d1.subtract(d2).to_dict\n"
    "{'a': 10.0, 'b': 3.0}\n"
    "```";

inline constexpr const char multiply_scalar_doc[] =
    "Multiplies a scalar value (single value) to every value in the dictionary.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d = corvane.CorvaneDict({\"a\": 2.0, \"b\": 5.0})\n"
    ">>> d.multiply_scalar(3.0).to_dict\n"
    "{'a': 6.0, 'b': 15.0}\n"
    "```";

inline constexpr const char multiply_doc[] =
    "Multiplies values (d1 * d2), aligned on d1s keys. Only keys from d1 are\n"
    "considered, if key from d1 is absent from d2, a fill value can optionally\n"
    "be used as the argument for *.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d1 = corvane.CorvaneDict({\"a\": 2.0, \"b\": 3.0})\n"
    ">>> d2 = corvane.CorvaneDict({\"b\": 10.0})\n"
    ">>> d1.multiply(d2).to_dict\n"
    "{'a': 2.0, 'b': 30.0}\n"
    "```";

inline constexpr const char divide_scalar_doc[] =
    "Divides a scalar value (single value) to every value in the dictionary.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d = corvane.CorvaneDict({\"a\": 10.0, \"b\": 6.0})\n"
    ">>> d.divide_scalar(2.0).to_dict\n"
    "{'a': 5.0, 'b': 3.0}\n"
    "```";

inline constexpr const char divide_doc[] =
    "Divides values (d1 / d2), aligned on d1s keys. Only keys from d1 are\n"
    "considered, if key from d1 is absent from d2, a fill value can optionally\n"
    "be used as the argument for /.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d1 = corvane.CorvaneDict({\"a\": 10.0, \"b\": 6.0})\n"
    ">>> d2 = corvane.CorvaneDict({\"b\": 2.0})\n"
    ">>> d1.divide(d2).to_dict\n"
    "{'a': 10.0, 'b': 3.0}\n"
    "```";

inline constexpr const char sum_doc[] =
    "Sum of values.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d = corvane.CorvaneDict({\"a\": 1.0, \"b\": 2.0, \"c\": 3.0})\n"
    ">>> d.sum()\n"
    "6.0\n"
    "```";

inline constexpr const char product_doc[] =
    "Product of values.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d = corvane.CorvaneDict({\"a\": 2.0, \"b\": 3.0, \"c\": 4.0})\n"
    ">>> d.product()\n"
    "24.0\n"
    "```";

inline constexpr const char reset_doc[] =
    "Sets all values to passed in value\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d = corvane.CorvaneDict({\"a\": 1.0, \"b\": 2.0})\n"
    ">>> d.reset(99.0).to_dict\n"
    "{'a': 99.0, 'b': 99.0}\n"
    "```";

inline constexpr const char to_dict_doc[] =
    "Returns the underlying dictionary.\n"
    "\n"
    "# Examples\n"
    "\n"
    "```python\n"
    ">>> d = corvane.CorvaneDict({\"x\": 42.0})\n"
    ">>> d.to_dict\n"
    "{'x': 42.0}\n"
    "```";

inline constexpr const char reduce_doc[] =
    "Return state information for pickling: a reconstructor and its arguments\n"
    "(the keys in position order, the values as little-endian float64 bytes),\n"
    "which rebuild an equal CorvaneDict bit for bit. copy.copy and copy.deepcopy\n"
    "use it too, and so return a new, equal object.";

}  // namespace corvane::frame::docs
