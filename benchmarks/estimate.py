"""Timings of zeph.estimate, printed as one table.

    python benchmarks/estimate.py            # every case (about two minutes and 3 GB of memory)
    python benchmarks/estimate.py --quick    # 1,000,000 rows instead of 10,000,000, fewer runs

Needs numpy, pandas and pyarrow. Cases:
- front-door, 10,000,000 rows of 5 integer columns with 2 to 4 values (the formula needs 3 of
  them), the query P(Y | do(X)): zeph from a pyarrow table, from a dict of Python lists and from
  the pandas frame, and beside them the same plug-in formula written with pandas (groupby counts
  and merges, as a user would write it) on the same frame. Both answers are compared.
- everyday graphs with binary variables: zeph.estimate on the counts (one weighted row per
  combination of values), per call from Python; zeph.id on the same query for comparison (the
  difference is reading the counts and evaluating the formula).
"""

import argparse
import os
import platform
import statistics
import sys
import time
import timeit

import numpy as np
import pandas as pd
import pyarrow as pa

import zeph

FRONT_DOOR = [("X", "M"), ("M", "Y")], [("X", "Y")]
EVERYDAY = [
    ("front-door", (*FRONT_DOOR, ["X"], ["Y"], [])),
    ("back-door", ([("Z", "X"), ("Z", "Y"), ("X", "Y")], [], ["X"], ["Y"], [])),
    ("napkin", ([("W1", "W2"), ("W2", "X"), ("X", "Y")], [("W1", "X"), ("W1", "Y")], ["X"], ["Y"], [])),
    ("M-graph", ([("X", "Y")], [("X", "M"), ("M", "Y")], ["X"], ["Y"], [])),
    ("Verma", ([("V1", "V2"), ("V2", "V3"), ("V3", "V4")], [("V2", "V4")], ["V3"], ["V4"], [])),
    ("front-door, conditional", (*FRONT_DOOR, ["X"], ["Y"], ["M"])),
]


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times), max(times)


def per_call(fn, repeat=5, sample=0.05):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, int(number * sample / 0.2))
    runs = [t / number for t in timer.repeat(repeat, number)]
    return statistics.median(runs), min(runs), max(runs)


def front_door_data(n, seed=1):
    """X -> M -> Y with a hidden U acting on X and Y; two more columns the graph does not name."""
    rng = np.random.default_rng(seed)
    u = rng.integers(0, 2, n)
    x = (rng.random(n) < np.where(u == 1, 0.8, 0.3)).astype(np.int64)
    m = (x + rng.integers(0, 2, n) + (rng.random(n) < 0.2)) % 3  # 3 values
    y = (m + u + (rng.random(n) < 0.3)) % 4  # 4 values
    return pd.DataFrame({"X": x, "M": m, "Y": y, "A": rng.integers(0, 4, n), "B": rng.integers(0, 3, n)})


def pandas_front_door(df):
    """sum_m P(m | x) sum_x' P(y | m, x') P(x'), with groupby counts and merges."""
    n = len(df)
    n_x = df.groupby("X").size().rename("n_x").reset_index()
    n_xm = df.groupby(["X", "M"]).size().rename("n_xm").reset_index()
    n_xmy = df.groupby(["X", "M", "Y"]).size().rename("n_xmy").reset_index()
    # sum_x' P(y | m, x') P(x')
    inner = n_xmy.merge(n_xm, on=["X", "M"]).merge(n_x, on="X")
    inner["term"] = inner["n_xmy"] / inner["n_xm"] * inner["n_x"] / n
    inner = inner.groupby(["M", "Y"])["term"].sum().rename("inner").reset_index()
    # sum_m P(m | x) * inner(m, y)
    outer = n_xm.merge(n_x, on="X")
    outer["p_m_x"] = outer["n_xm"] / outer["n_x"]
    out = outer.merge(inner, on="M")
    out["probability"] = out["p_m_x"] * out["inner"]
    return out.groupby(["X", "Y"])["probability"].sum().reset_index()


def row(name, figure, unit, spread=None, note=""):
    scale = {"s": 1, "ms": 1e3, "us": 1e6}[unit]
    text = f"{figure * scale:10.3f} {unit:<3}"
    if spread:
        text += f"  ({spread[0] * scale:.3f} to {spread[1] * scale:.3f})"
    print(f"| {name:<52} | {text:<34} | {note}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n = 1_000_000 if args.quick else 10_000_000
    repeat = 3 if args.quick else 5

    print(f"# zeph.estimate: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"Python {platform.python_version()}, load average {os.getloadavg()[0]:.2f} at start")
    print(f"| {'case':<52} | {'median (min to max)':<34} | note")

    df = front_door_data(n)
    table = pa.table(df)
    lists = {k: df[k].tolist() for k in df.columns}
    query = (*FRONT_DOOR, ["X"], ["Y"], [])

    # zeph and pandas take turns, so that other work on the machine weighs on both alike.
    runs = {"arrow": [], "frame": [], "pandas": []}
    for _ in range(repeat):
        for key, fn in (("arrow", lambda: zeph.estimate(*query, table)),
                        ("frame", lambda: zeph.estimate(*query, df)),
                        ("pandas", lambda: pandas_front_door(df))):
            start = time.perf_counter()
            fn()
            runs[key].append(time.perf_counter() - start)
    arrow, frame, plain = ((statistics.median(r), min(r), max(r)) for r in runs.values())
    row(f"front-door, {n:,} rows, pyarrow table", arrow[0], "s", arrow[1:], "target <= 1 s")
    mapping = median_time(lambda: zeph.estimate(*query, lists), max(3, repeat - 2))
    row(f"front-door, {n:,} rows, dict of lists", mapping[0], "s", mapping[1:], "target <= 20 s")
    row(f"front-door, {n:,} rows, pandas frame (zeph)", frame[0], "s", frame[1:])
    row(f"front-door, {n:,} rows, pandas frame (plain pandas)", plain[0], "s", plain[1:],
        f"zeph {plain[0] / arrow[0]:.1f}x faster from pyarrow, {plain[0] / frame[0]:.1f}x from the frame (target >= 10x)")

    # Same answer both ways.
    ours = pd.DataFrame(zeph.estimate(*query, table))
    theirs = pandas_front_door(df).merge(ours, on=["X", "Y"], suffixes=("_pandas", "_zeph"))
    assert len(theirs) == len(ours)
    assert np.allclose(theirs["probability_pandas"], theirs["probability_zeph"], atol=1e-12)

    for name, (d, b, y, x, z) in EVERYDAY:
        names = sorted({v for e in d + b for v in e})
        combos = np.array(np.meshgrid(*[[0, 1]] * len(names), indexing="ij")).reshape(len(names), -1)
        counts = {v: combos[i].tolist() for i, v in enumerate(names)}
        counts["n"] = list(range(1, combos.shape[1] + 1))
        full = per_call(lambda: zeph.estimate(d, b, y, x, z, counts, weights="n"))
        ident = per_call(lambda: zeph.id(d, b, y, x, z))
        row(f"everyday, {name}: estimate on counts", full[0], "us", full[1:],
            f"id alone {ident[0] * 1e6:.1f} us; target <= 1000 us")
    print(f"load average {os.getloadavg()[0]:.2f} at the end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
