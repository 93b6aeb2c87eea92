"""Shards one large mapping over a process pool and combines the results.

A CorvaneDict pickles (keys and exact float64 bits), so shards travel to
worker processes and results travel back like any other value:

    python examples/shard.py [--entries 1000000] [--shards 8] [--workers N]

Each worker prices its shard (price * quantity, less a discount); the parent
merges the shard results into one mapping and checks them against the same
computation done in one process.
"""

import argparse
import concurrent.futures
import math
import os
import random
import time

from corvane import CorvaneDict


def revenue(shard):
    """Runs in a worker: one shard's prices and quantities in, its revenue out."""
    prices, quantities, discount = shard
    result = prices.multiply(quantities, fill=0.0).multiply_scalar(1.0 - discount)
    return result, result.sum()


def make_inputs(entries, seed=1):
    rng = random.Random(seed)
    prices = {"item%07d" % i: round(rng.uniform(1, 100), 2) for i in range(entries)}
    # Not every item sold: the missing quantities take the fill value 0.0.
    quantities = {key: float(rng.randrange(1, 50)) for key in prices if rng.random() < 0.8}
    return prices, quantities


def shard_inputs(prices, quantities, shards, discount):
    """Splits the keys into `shards` groups and builds each group's two mappings."""
    groups = [({}, {}) for _ in range(shards)]
    for i, (key, price) in enumerate(prices.items()):
        shard_prices, shard_quantities = groups[i % shards]
        shard_prices[key] = price
        if key in quantities:
            shard_quantities[key] = quantities[key]
    return [(CorvaneDict(p), CorvaneDict(q), discount) for p, q in groups]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--workers", type=int, default=os.cpu_count())
    args = parser.parse_args()
    discount = 0.1

    prices, quantities = make_inputs(args.entries)
    shards = shard_inputs(prices, quantities, args.shards, discount)

    start = time.perf_counter()
    with concurrent.futures.ProcessPoolExecutor(max_workers=args.workers) as pool:
        results = list(pool.map(revenue, shards))
    combined = {}
    for result, _ in results:
        combined.update(result.to_dict)  # one read of to_dict per shard: each read builds a new dict
    total = math.fsum(shard_total for _, shard_total in results)
    elapsed = time.perf_counter() - start
    print("%d entries in %d shards over %d workers: %.2f s, revenue %.2f"
          % (len(combined), len(shards), args.workers, elapsed, total))

    # The same in one process. Per key, the arithmetic is the same, so the
    # values agree exactly; the totals are summed in another order.
    whole, whole_total = revenue((CorvaneDict(prices), CorvaneDict(quantities), discount))
    expected = whole.to_dict
    assert combined.keys() == expected.keys()
    assert all(combined[k] == v for k, v in expected.items())
    assert math.isclose(total, whole_total, rel_tol=1e-9)
    print("results match the single-process run")


if __name__ == "__main__":
    main()
