"""A tour of corvane: build mappings from dicts, combine them, reduce, export.

Run with `make demo`.
"""
import corvane
from corvane import CorvaneDict


def show(label, value):
    print(f"  {label:<44} {value}")


def main():
    print(f"corvane: {corvane.__doc__}")
    print()

    # Prices of a small basket, this week and last week. Last week's list has no
    # entry for "figs" and one ("dates") that this week's lacks.
    prices = CorvaneDict({"apples": 2.40, "bread": 3.10, "coffee": 8.95, "figs": 6.20})
    last_week = CorvaneDict({"apples": 2.20, "bread": 3.10, "coffee": 9.50, "dates": 4.00})
    quantities = {"apples": 3, "bread": 1, "coffee": 2, "figs": 1}

    print("Building from dicts (values become float64; keys must be str):")
    show("prices.to_dict", prices.to_dict)
    show("last_week.to_dict", last_week.to_dict)
    print()

    print("Combining two mappings aligned on the receiver's keys (key by key):")
    change = prices.subtract(last_week)
    show("prices.subtract(last_week)", change.to_dict)
    show("  'figs' is missing there: fill 0.0 is used", change.to_dict["figs"])
    show("prices.subtract(last_week, fill=nan)", prices.subtract(last_week, fill=float("nan")).to_dict)
    show("last_week.divide(prices) keeps its own keys", last_week.divide(prices).to_dict)
    print()

    print("Chaining: every result shares its receiver's keys, so the next step")
    print("combines position by position without looking keys up:")
    qty = CorvaneDict(quantities)
    spend = prices.multiply(qty)                   # key by key (separately built)
    with_tax = spend.multiply_scalar(1.2)          # one pass over the values
    rounded_down = with_tax.subtract_scalar(0.01)
    share = rounded_down.divide_scalar(rounded_down.sum())
    show("spend = prices.multiply(qty)", spend.to_dict)
    show("with_tax = spend.multiply_scalar(1.2)", with_tax.to_dict)
    show("share of the total", {k: round(v, 3) for k, v in share.to_dict.items()})
    show("spend.add(with_tax) (positional path)", spend.add(with_tax).to_dict)
    print()

    print("Reductions and resets:")
    show("spend.sum()", spend.sum())
    show("qty.product()", qty.product())
    show("prices.reset(1.0).sum() counts the keys", prices.reset(1.0).sum())
    show("CorvaneDict({}).sum() is negative zero", CorvaneDict({}).sum())
    print()

    print("Exact IEEE 754 arithmetic, no surprises hidden:")
    show("{'a': 3.0}.divide_scalar(10.0)", CorvaneDict({"a": 3.0}).divide_scalar(10.0).to_dict)
    show("division by zero gives inf/-inf/nan",
         CorvaneDict({"up": 1.0, "down": -1.0, "zero": 0.0}).divide_scalar(0.0).to_dict)
    print()

    print("Mistakes are reported clearly, and nothing changes:")
    for label, call in [
        ("prices.add({'apples': 1.0})", lambda: prices.add({"apples": 1.0})),
        ("prices.add(last_week, fill=None)", lambda: prices.add(last_week, fill=None)),
        ("CorvaneDict({1: 2.0})", lambda: CorvaneDict({1: 2.0})),
    ]:
        try:
            call()
        except TypeError as error:
            show(label, f"TypeError: {error}")
    show("prices.to_dict afterwards", prices.to_dict)


if __name__ == "__main__":
    main()
