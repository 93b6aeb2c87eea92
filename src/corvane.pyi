"""A Python module implemented in C++."""

import builtins
from typing import SupportsFloat, SupportsIndex, TypeVar, final

# Values and scalars: whatever float() takes through __float__ or __index__
# (int, bool, Fraction, Decimal, numpy scalars, ...). A dict is invariant in
# its value type, so the constructor takes dict[str, V] for any such V: a
# dict[str, int] or a Counter[str] is accepted, a Mapping that is not a dict,
# a dict with other keys or other values is not.
_Value = TypeVar("_Value", bound=SupportsFloat | SupportsIndex)

__all__ = ["CorvaneDict"]

@final
class CorvaneDict:
    """An immutable mapping from str to float with aligned arithmetic.

    Every operation returns a new CorvaneDict with exactly the receiver's keys.
    """

    def __new__(cls, dict: builtins.dict[str, _Value]) -> CorvaneDict: ...
    def add_scalar(self, value: SupportsFloat | SupportsIndex) -> CorvaneDict:
        """Adds value to every value."""
    def add(self, other: CorvaneDict, fill: SupportsFloat | SupportsIndex = 0.0) -> CorvaneDict:
        """Adds other's values (receiver + other), aligned on the receiver's keys; fill stands in for missing keys."""
    def subtract_scalar(self, value: SupportsFloat | SupportsIndex) -> CorvaneDict:
        """Subtracts value from every value."""
    def subtract(self, other: CorvaneDict, fill: SupportsFloat | SupportsIndex = 0.0) -> CorvaneDict:
        """Subtracts other's values (receiver - other), aligned on the receiver's keys."""
    def multiply_scalar(self, value: SupportsFloat | SupportsIndex) -> CorvaneDict:
        """Multiplies every value by value."""
    def multiply(self, other: CorvaneDict, fill: SupportsFloat | SupportsIndex = 1.0) -> CorvaneDict:
        """Multiplies by other's values (receiver * other), aligned on the receiver's keys."""
    def divide_scalar(self, value: SupportsFloat | SupportsIndex) -> CorvaneDict:
        """Divides every value by value (true division; a zero divisor gives inf or nan)."""
    def divide(self, other: CorvaneDict, fill: SupportsFloat | SupportsIndex = 1.0) -> CorvaneDict:
        """Divides by other's values (receiver / other), aligned on the receiver's keys."""
    def sum(self) -> float:
        """Sum of values, in position order; -0.0 for an empty mapping."""
    def product(self) -> float:
        """Product of values, in position order; 1.0 for an empty mapping."""
    def reset(self, value: SupportsFloat | SupportsIndex) -> CorvaneDict:
        """Sets all values to value."""
    @property
    def to_dict(self) -> builtins.dict[str, float]:
        """A new dict of every key and its value (read-only; no key order is promised)."""
