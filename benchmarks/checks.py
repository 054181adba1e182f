"""Timings of zeph.implications and zeph.implication_tests, printed as one table.

    python benchmarks/checks.py           # every case (a few minutes; the first run installs pgmpy)
    python benchmarks/checks.py --quick   # fewer graphs and a smaller sample for pgmpy

Cases:
- implications on random graphs of 100 variables, 200 directed and 30 bidirected edges: per call
  from Python (names in, tuples out), median over 30 distinct graphs.
- the network of 37 discrete variables of benchmarks/estimate.py (2 to 4 values, 46 edges), with
  1,000,000 rows in a pyarrow table: every implication tested with test="g", the whole call.
- beside it, the same implications and rows with pgmpy's G-test (pgmpy.estimators.CITests.g_sq
  from pgmpy<1.3, installed by this script into benchmarks/.peers/pgmpy with --no-deps and the
  libraries it imports, never into the project's environment), timed on a random sample of the
  implications and scaled to all of them. pgmpy applies a continuity correction to 2 x 2 strata,
  so the two are compared on time, not on p-values. Where pgmpy cannot be installed, a stratified
  G-test written with pandas and scipy (groupby counts per stratum, scipy's chi2 tail) is timed
  instead, and the row says so.
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa

import zeph

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from estimate import network, sample  # noqa: E402

PEERS = os.path.join(HERE, ".peers")


def row(name, seconds, note=""):
    print(f"| {name:<58} | {seconds * 1e3:12.2f} ms | {note}")


def random_graph(seed, n=100, nd=200, nb=30):
    rng = random.Random(seed)
    order = [f"V{i}" for i in range(n)]
    rng.shuffle(order)
    d, b = set(), set()
    while len(d) < nd:
        i, j = sorted(rng.sample(range(n), 2))
        d.add((order[i], order[j]))
    while len(b) < nb:
        i, j = sorted(rng.sample(range(n), 2))
        b.add((order[i], order[j]))
    d = sorted(d)
    rng.shuffle(d)
    return d, sorted(b)


def peer_python():
    """The Python of a virtual environment with pgmpy, made on first use; None where it cannot be."""
    venv = os.path.join(PEERS, "pgmpy")
    python = os.path.join(venv, "bin", "python")
    probe = [python, "-c", "from pgmpy.estimators.CITests import g_sq"]
    if os.path.exists(python) and subprocess.run(probe, capture_output=True).returncode == 0:
        return python
    try:
        subprocess.run([sys.executable, "-m", "venv", venv], check=True, capture_output=True)
        pip = [python, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
        subprocess.run(pip + ["--no-deps", "pgmpy<1.3"], check=True, capture_output=True)
        subprocess.run(pip + ["numpy", "scipy", "pandas", "networkx", "pyparsing", "statsmodels",
                              "scikit-learn", "tqdm", "joblib", "opt_einsum", "scikit-base"],
                       check=True, capture_output=True)
    except (subprocess.CalledProcessError, OSError):
        return None
    return python if subprocess.run(probe, capture_output=True).returncode == 0 else None


PEER_CODE = r"""
import json, sys, time, warnings
import numpy as np, pandas as pd
warnings.simplefilter("ignore")
matrix, names, tests, kind = np.load(sys.argv[1]), json.loads(sys.argv[2]), json.load(open(sys.argv[3])), sys.argv[4]
df = pd.DataFrame(matrix, columns=names)
if kind == "pgmpy":
    from pgmpy.estimators.CITests import g_sq
    run = lambda a, b, given: g_sq(a, b, list(given), df, boolean=False)
else:
    from scipy.stats import chi2
    def run(a, b, given):
        g, dof = 0.0, 0
        groups = df.groupby(list(given)) if given else [((), df)]
        for _, part in groups:
            table = pd.crosstab(part[a], part[b]).to_numpy().astype(float)
            if table.shape[0] < 2 or table.shape[1] < 2:
                continue
            expected = table.sum(1, keepdims=True) * table.sum(0, keepdims=True) / table.sum()
            seen = table > 0
            g += 2 * (table[seen] * np.log(table[seen] / expected[seen])).sum()
            dof += (table.shape[0] - 1) * (table.shape[1] - 1)
        return g, chi2.sf(g, dof) if dof else 1.0, dof
start = time.perf_counter()
for a, b, given in tests:
    run(a, b, given)
print(json.dumps({"seconds": time.perf_counter() - start}))
"""


def peer_time(python, kind, table, tests):
    names = table.column_names
    with tempfile.TemporaryDirectory() as tmp:
        matrix = os.path.join(tmp, "rows.npy")
        np.save(matrix, np.column_stack([table.column(n).to_numpy() for n in names]))
        listed = os.path.join(tmp, "tests.json")
        with open(listed, "w") as f:
            json.dump(tests, f)
        proc = subprocess.run([python, "-c", PEER_CODE, matrix, json.dumps(names), listed, kind],
                              capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.strip().splitlines()[-1])
    return json.loads(proc.stdout.strip().splitlines()[-1])["seconds"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    graphs = 10 if args.quick else 30
    repeat = 3 if args.quick else 5
    print(f"# zeph.implications and implication_tests: {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.2f} at start")
    print(f"| {'case':<58} | {'median':>15} | note")

    times, counts = [], []
    for seed in range(graphs):
        d, b = random_graph(seed)
        runs = []
        for _ in range(repeat):
            start = time.perf_counter()
            found = zeph.implications(d, b)
            runs.append(time.perf_counter() - start)
        times.append(statistics.median(runs))
        counts.append(len(found))
    row("implications, 100 variables, 200 + 30 edges", statistics.median(times),
        f"median over {graphs} graphs (slowest {max(times) * 1e3:.2f} ms), "
        f"{statistics.median(counts):.0f} implications each; target <= 5 ms")

    names, edges, card, parents, tables = network()
    table = sample(names, card, parents, tables, 1_000_000)
    found = zeph.implications(edges, [])
    runs = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = zeph.implication_tests(edges, [], table, test="g")
        runs.append(time.perf_counter() - start)
    ours = statistics.median(runs)
    rejected = sum(result["rejected"])
    row(f"implication_tests, network of 37, 1,000,000 rows, {len(found)} tests", ours,
        f"{rejected} rejected after Holm; target <= 3 s")

    rng = random.Random(1)
    picked = rng.sample(found, min(len(found), 15 if args.quick else 40))
    tests = [[a, b, list(given)] for a, b, given in picked]
    python = peer_python()
    kind, label = ("pgmpy", "pgmpy g_sq (pgmpy<1.3)") if python else ("pandas", "pandas and scipy, stratified")
    if python is None:
        python = sys.executable
        label += "; pgmpy could not be installed"
    theirs = peer_time(python, kind, table, tests) * len(found) / len(tests)
    row(f"the same tests, {label}", theirs,
        f"timed on {len(tests)} of {len(found)} and scaled; zeph {theirs / ours:.0f}x faster "
        "(target >= 50x)")
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
