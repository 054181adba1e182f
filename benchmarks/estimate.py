"""Timings of zeph.estimate, printed as one table.

    python benchmarks/estimate.py            # every case (a few minutes and 3 GB of memory)
    python benchmarks/estimate.py --quick    # 1,000,000 rows instead of 10,000,000, fewer runs
    python benchmarks/estimate.py --only network   # one group: front-door, strings, many-values,
                                                   # network, everyday

Needs numpy, pandas and pyarrow. Cases:
- front-door, 10,000,000 rows of 5 integer columns with 2 to 4 values (the formula needs 3 of
  them), the query P(Y | do(X)): zeph from a pyarrow table, from a dict of Python lists and from
  the pandas frame, and beside them the same plug-in formula written with pandas (groupby counts
  and merges, as a user would write it) on the same frame. Both answers are compared.
- strings: the same front door with X as 10,000,000 strings, as Arrow string, large_string
  and string_view columns: reading them includes checking every offset or view before it is read.
- many-values: the front door on 20,000 rows with 200 values of X and Y and 3,000 of M (a dense
  table of all combinations would have 2^27 cells); time and peak memory in a fresh process.
- network: a discrete network of 37 variables with 2 to 4 values and 46 edges (random, from a
  fixed seed, with a deterministic node and rare states, the size of the field's ALARM network),
  1,000,000 sampled rows in a pyarrow table, and 10 queries P(b | do(a)) of causally related pairs
  whose treatment has causes of its own: each query's time and memory in a fresh process (the
  peak of the process includes the 300 MB table, mapped from a file), and how many rows are NaN.
- bootstrap: the front door with ci=0.95 and 2,000 replicates on 1,000,000 and 10,000,000 rows
  from a pyarrow table (whole calls, counting included; the difference from the call without ci
  is the resampling, which does not grow with the rows); beside it, on 1,000,000 rows and 200
  replicates, the bootstrap a user writes with numpy (row indices from
  numpy.random.Generator.integers, counts by numpy.bincount, the same plug-in formula), whole
  calls against whole calls, with the bounds of both compared; and zeph.effect with 2,000
  replicates on 1,000,000 rows of the back-door graph Z1 -> X, Z2 -> X, X -> Y, Z1 -> Y, Z2 -> Y.
- everyday graphs with binary variables: zeph.estimate on the counts (one weighted row per
  combination of values), per call from Python; zeph.id on the same query for comparison (the
  difference is reading the counts and evaluating the formula).
"""

import argparse
import json
import math
import os
import resource
import subprocess
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


# ---------------------------------------------------------------- a network of ALARM's size


def network(seed=37):
    """37 variables in a random order, 46 edges, 2 to 4 values each; one node is the logical OR of two
    binary parents, and some states are rare. Returns (edges, cardinality, tables)."""
    rng = np.random.default_rng(seed)
    names = [f"N{i:02d}" for i in range(37)]
    card = {v: int(rng.integers(2, 5)) for v in names}
    edges = set()
    for i in range(1, 37):  # a connected skeleton along the order
        edges.add((names[int(rng.integers(0, i))], names[i]))
    while len(edges) < 46:
        i, j = sorted(rng.choice(37, 2, replace=False))
        if len([e for e in edges if e[1] == names[j]]) < 4:
            edges.add((names[i], names[j]))
    edges = sorted(edges, key=lambda e: (names.index(e[1]), names.index(e[0])))
    parents = {v: [a for a, b in edges if b == v] for v in names}
    tables = {}
    deterministic = next(v for v in names if len(parents[v]) == 2)
    for v in names:
        configs = int(np.prod([card[p] for p in parents[v]])) if parents[v] else 1
        if v == deterministic:
            card[v] = 2
            t = np.zeros((configs, 2))
            for c in range(configs):
                t[c, 1 if c % card[parents[v][1]] or c // card[parents[v][1]] else 0] = 1
        else:
            alpha = np.ones(card[v]) * 0.7
            alpha[-1] = 0.05  # a rare state
            t = rng.dirichlet(alpha, configs)
        tables[v] = t
    return names, edges, card, parents, tables


def sample(names, card, parents, tables, n, seed=1):
    rng = np.random.default_rng(seed)
    cols = {}
    for v in names:  # names are in causal order
        config = np.zeros(n, np.int64)
        for p in parents[v]:
            config = config * card[p] + cols[p]
        cum = np.cumsum(tables[v], axis=1)[config]
        cols[v] = (rng.random(n)[:, None] > cum[:, :-1]).sum(axis=1).astype(np.int64)
    return pa.table(cols)


def network_queries(names, edges, count=10, seed=3):
    rng = np.random.default_rng(seed)
    children = {v: [b for a, b in edges if a == v] for v in names}

    def descendants(v):
        out, stack = set(), [v]
        while stack:
            for c in children[stack.pop()]:
                if c not in out:
                    out.add(c)
                    stack.append(c)
        return out

    # Treatments with causes of their own, so that the formula adjusts for something.
    pairs = sorted((a, b) for a in names for b in descendants(a) if any(e[1] == a for e in edges))
    picked = rng.choice(len(pairs), count, replace=False)
    return [pairs[i] for i in sorted(picked)]


NETWORK_FILE = "/tmp/zeph-bench-network-37.arrow"


def network_child(i):
    """One network query in this fresh process: prints its time, peak memory and NaN rows as JSON."""
    names, edges, card, parents, tables = network()
    with pa.memory_map(NETWORK_FILE) as source:
        table = pa.ipc.open_file(source).read_all()
    a, b = network_queries(names, edges)[i]
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    result = zeph.estimate(edges, [], [a], [b], [], table)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    p = result["probability"]
    print(json.dumps({"query": f"P({b} | do({a}))", "seconds": seconds, "peak_mb": peak / 1024,
                      "grown_mb": (peak - before) / 1024, "rows": len(p),
                      "nan": sum(math.isnan(v) for v in p),
                      "formula": zeph.formula(edges, [], [a], [b], [], style="text")}))


def run_child(*args):
    proc = subprocess.run([sys.executable, __file__, "--child", *map(str, args)], capture_output=True, text=True)
    if proc.returncode != 0:
        return {"error": proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else f"exit {proc.returncode}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def many_values_child():
    rng = np.random.default_rng(1)
    n = 20_000
    data = {"X": rng.integers(0, 200, n).tolist(), "M": rng.integers(0, 3000, n).tolist(),
            "Y": rng.integers(0, 200, n).tolist()}
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    result = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], data)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "peak_mb": peak / 1024, "grown_mb": (peak - before) / 1024,
                      "rows": len(result["probability"])}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", choices=["front-door", "strings", "many-values", "network", "bootstrap", "everyday"])
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        if args.child[0] == "network":
            network_child(int(args.child[1]))
        else:
            many_values_child()
        return 0
    want = lambda group: args.only in (None, group)
    n = 1_000_000 if args.quick else 10_000_000
    repeat = 3 if args.quick else 5

    print(f"# zeph.estimate: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"Python {platform.python_version()}, load average {os.getloadavg()[0]:.2f} at start")
    print(f"| {'case':<52} | {'median (min to max)':<34} | note")

    query = (*FRONT_DOOR, ["X"], ["Y"], [])
    if want("front-door") or want("strings"):
        df = front_door_data(n)
        table = pa.table(df)
    if want("front-door"):
        front_door(df, table, n, repeat, query)
    if want("strings"):
        words = np.array(["low", "middle", "a value longer than twelve bytes"])
        for kind in (pa.string(), pa.large_string(), pa.string_view()):
            strings = table.set_column(0, "X", pa.array(words[df["X"].to_numpy() + df["A"].to_numpy() % 2], kind))
            t = median_time(lambda: zeph.estimate(*query, strings), repeat)
            row(f"front-door, {n:,} rows, X as {kind}", t[0], "s", t[1:], "every offset or view checked")
    if want("many-values"):
        r = run_child("many-values")
        if "error" in r:
            row("front-door, 20,000 rows, 200 x 3,000 x 200 values", math.nan, "s", None, r["error"])
        else:
            row("front-door, 20,000 rows, 200 x 3,000 x 200 values", r["seconds"], "s", None,
                f"peak {r['peak_mb']:.0f} MB ({r['grown_mb']:.0f} MB in the call), {r['rows']:,} rows; "
                "target: a few hundred MB, seconds")
    if want("network"):
        names, edges, card, parents, tables = network()
        if not os.path.exists(NETWORK_FILE):
            with pa.OSFile(NETWORK_FILE, "wb") as sink:
                t = sample(names, card, parents, tables, 1_000_000)
                with pa.ipc.new_file(sink, t.schema) as writer:
                    writer.write_table(t)
        times, peaks, nans = [], [], 0
        for i in range(10):
            r = run_child("network", i)
            if "error" in r:
                row(f"network of 37, query {i}", math.nan, "s", None, r["error"])
                continue
            times.append(r["seconds"])
            peaks.append(r["peak_mb"])
            nans += r["nan"]
            row(f"network of 37, {r['query']}", r["seconds"], "s", None,
                f"peak {r['peak_mb']:.0f} MB ({r['grown_mb']:.0f} in the call), {r['nan']} of {r['rows']} rows NaN; "
                f"{r['formula'][:60]}")
        if times:
            row("network of 37, slowest of the 10 queries", max(times), "s", None,
                f"largest peak {max(peaks):.0f} MB, {nans} NaN rows in all; target <= 0.5 s and 500 MB each")
    if want("bootstrap"):
        bootstrap(repeat)
    if want("everyday"):
        everyday()
    print(f"load average {os.getloadavg()[0]:.2f} at the end")
    return 0


def front_door(df, table, n, repeat, query):
    lists = {k: df[k].tolist() for k in df.columns}

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



def numpy_front_door(x, m, y, dims):
    """The front-door plug-in from a table of counts n[x, m, y]: sum_m P(m | x) sum_x' P(y | x', m) P(x')."""
    n = np.bincount((x * dims[1] + m) * dims[2] + y, minlength=int(np.prod(dims))).reshape(dims).astype(float)
    n_xm = n.sum(axis=2)
    p_m_x = n_xm / n_xm.sum(axis=1, keepdims=True)
    p_x = n_xm.sum(axis=1) / n.sum()
    with np.errstate(invalid="ignore", divide="ignore"):
        p_y_xm = n / n_xm[:, :, None]
    inner = np.einsum("x,xmy->my", p_x, p_y_xm)
    return np.einsum("xm,my->xy", p_m_x, inner)


def numpy_bootstrap(x, m, y, replicates, level, seed=0):
    dims = (int(x.max()) + 1, int(m.max()) + 1, int(y.max()) + 1)
    rng = np.random.default_rng(seed)
    n = len(x)
    values = []
    for _ in range(replicates):
        pick = rng.integers(0, n, n)
        values.append(numpy_front_door(x[pick], m[pick], y[pick], dims))
    values = np.array(values)
    return (np.quantile(values, (1 - level) / 2, axis=0).ravel(), np.quantile(values, (1 + level) / 2, axis=0).ravel())


def bootstrap(repeat):
    query = (*FRONT_DOOR, ["X"], ["Y"], [])
    for n in (1_000_000, 10_000_000):
        table = pa.table(front_door_data(n))
        plain = median_time(lambda: zeph.estimate(*query, table), repeat)
        full = median_time(lambda: zeph.estimate(*query, table, ci=0.95, replicates=2000), repeat)
        row(f"front-door, {n:,} rows, ci=0.95, 2,000 replicates", full[0], "s", full[1:],
            f"without ci {plain[0]:.3f} s: resampling {full[0] - plain[0]:.3f} s; target <= 1.5 s at 10M")
    n = 1_000_000
    df = front_door_data(n)
    table = pa.table(df)
    x, m, y = (df[k].to_numpy() for k in ("X", "M", "Y"))
    runs = {"zeph": [], "numpy": []}
    for _ in range(max(1, repeat - 2)):
        start = time.perf_counter()
        ours = zeph.estimate(*query, table, ci=0.95, replicates=200)
        runs["zeph"].append(time.perf_counter() - start)
        start = time.perf_counter()
        lower, upper = numpy_bootstrap(x, m, y, 200, 0.95)
        runs["numpy"].append(time.perf_counter() - start)
    z, np_ = statistics.median(runs["zeph"]), statistics.median(runs["numpy"])
    width = np.array(ours["upper"]) - np.array(ours["lower"])
    gap = max(np.max(np.abs(np.array(ours["lower"]) - lower) / width),
              np.max(np.abs(np.array(ours["upper"]) - upper) / width))
    row(f"front-door, {n:,} rows, 200 replicates: zeph", z, "s", (min(runs["zeph"]), max(runs["zeph"])))
    row(f"front-door, {n:,} rows, 200 replicates: numpy", np_, "s", (min(runs["numpy"]), max(runs["numpy"])),
        f"zeph {np_ / z:.0f}x faster (target >= 100x); bounds differ by at most {gap:.2f} of the interval's width")
    rng = np.random.default_rng(0)
    z1, z2 = rng.integers(0, 2, n), rng.integers(0, 2, n)
    xx = (rng.random(n) < 0.2 + 0.3 * z1 + 0.3 * z2).astype(np.int64)
    yy = (rng.random(n) < 0.1 + 0.2 * xx + 0.3 * z1 + 0.2 * z2).astype(np.int64)
    back = pa.table({"Z1": z1, "Z2": z2, "X": xx, "Y": yy})
    d = [("Z1", "X"), ("Z2", "X"), ("X", "Y"), ("Z1", "Y"), ("Z2", "Y")]
    t = median_time(lambda: zeph.effect(d, [], ["X"], ["Y"], [], back, treated=1, control=0, replicates=2000), repeat)
    row(f"effect, back-door, {n:,} rows, 2,000 replicates", t[0], "s", t[1:], "target <= 0.5 s")


def everyday():
    for name, (d, b, y, x, z) in EVERYDAY:
        names = sorted({v for e in d + b for v in e})
        combos = np.array(np.meshgrid(*[[0, 1]] * len(names), indexing="ij")).reshape(len(names), -1)
        counts = {v: combos[i].tolist() for i, v in enumerate(names)}
        counts["n"] = list(range(1, combos.shape[1] + 1))
        full = per_call(lambda: zeph.estimate(d, b, y, x, z, counts, weights="n"))
        ident = per_call(lambda: zeph.id(d, b, y, x, z))
        row(f"everyday, {name}: estimate on counts", full[0], "us", full[1:],
            f"id alone {ident[0] * 1e6:.1f} us; target <= 1000 us")


if __name__ == "__main__":
    sys.exit(main())
