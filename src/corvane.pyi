"""A Python module implemented in C++."""

import builtins
from typing import final

__all__ = ["CorvaneDict"]

@final
class CorvaneDict:
    """An immutable mapping from str to float with aligned arithmetic.

    Every operation returns a new CorvaneDict with exactly the receiver's keys.
    """

    def __new__(cls, dict: builtins.dict[str, float]) -> CorvaneDict: ...
    def add_scalar(self, value: float) -> CorvaneDict:
        """Adds value to every value."""
    def add(self, other: CorvaneDict, fill: float = 0.0) -> CorvaneDict:
        """Adds other's values (receiver + other), aligned on the receiver's keys; fill stands in for missing keys."""
    def subtract_scalar(self, value: float) -> CorvaneDict:
        """Subtracts value from every value."""
    def subtract(self, other: CorvaneDict, fill: float = 0.0) -> CorvaneDict:
        """Subtracts other's values (receiver - other), aligned on the receiver's keys."""
    def multiply_scalar(self, value: float) -> CorvaneDict:
        """Multiplies every value by value."""
    def multiply(self, other: CorvaneDict, fill: float = 1.0) -> CorvaneDict:
        """Multiplies by other's values (receiver * other), aligned on the receiver's keys."""
    def divide_scalar(self, value: float) -> CorvaneDict:
        """Divides every value by value (true division; a zero divisor gives inf or nan)."""
    def divide(self, other: CorvaneDict, fill: float = 1.0) -> CorvaneDict:
        """Divides by other's values (receiver / other), aligned on the receiver's keys."""
    def sum(self) -> float:
        """Sum of values, in position order; -0.0 for an empty mapping."""
    def product(self) -> float:
        """Product of values, in position order; 1.0 for an empty mapping."""
    def reset(self, value: float) -> CorvaneDict:
        """Sets all values to value."""
    @property
    def to_dict(self) -> builtins.dict[str, float]:
        """A new dict of every key and its value (read-only; no key order is promised)."""
