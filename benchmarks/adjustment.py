"""Timings of zeph.adjustment_sets and zeph.is_adjustment_set, beside pgmpy's adjustment search.

    python benchmarks/adjustment.py          # every case (a few minutes; the first run installs pgmpy)
    python benchmarks/adjustment.py --quick  # fewer queries

Cases, on random graphs of 100 variables with 200 directed and 20 bidirected edges (a fixed seed per
graph), each with one query P(Y | do(X)) whose treatment is an ancestor of its outcome:
- adjustment_sets (minimal): the time of the whole call divided by the number of sets listed after the
  first ((time - time to the first set) / (sets - 1), the time to the first set taken as the call with
  limit=1), median over the queries that list at least two sets;
- is_adjustment_set on the first listed set, per call;
- pgmpy's CausalInference.get_all_backdoor_adjustment_sets (pgmpy<1.3, in benchmarks/.peers/pgmpy,
  bidirected edges as latent parents), each query stopped at 2 s: the ratio of its time to zeph's whole
  call, a lower bound where pgmpy is stopped; where it finishes, its sets are compared with zeph's
  minimal adjustment sets (pgmpy lists back-door sets, which are adjustment sets; the note counts the
  queries on which the two lists agree; pgmpy answers an empty collection both where no set exists and
  where the empty set suffices, which counts as agreeing with either).
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time
import warnings

import zeph

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from checks import peer_python  # noqa: E402

STOP = 2.0


def graph(seed, n=100, nd=200, nb=20):
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
    children = {}
    for u, v in d:
        children.setdefault(u, []).append(v)
    # A treatment in the middle of the order with an outcome among its descendants.
    x = order[rng.randrange(40, 70)]
    seen, stack = set(), [x]
    while stack:
        for c in children.get(stack.pop(), []):
            if c not in seen:
                seen.add(c)
                stack.append(c)
    y = sorted(seen, key=order.index)[len(seen) // 2] if seen else order[-1]
    return sorted(d), sorted(b), x, y


PEER_CODE = r"""
import json, sys, time, warnings
warnings.simplefilter("ignore")
import logging; logging.disable(logging.CRITICAL)
from pgmpy.base import DAG
from pgmpy.inference import CausalInference
d, b, x, y = json.loads(sys.argv[1])
edges = [tuple(e) for e in d]
latents = set()
for k, (u, v) in enumerate(b):
    edges += [(f"_U{k}", u), (f"_U{k}", v)]
    latents.add(f"_U{k}")
start = time.perf_counter()
sets = CausalInference(DAG(edges, latents=latents)).get_all_backdoor_adjustment_sets(x, y)
print(json.dumps({"seconds": time.perf_counter() - start, "sets": sorted(sorted(s) for s in sets)}))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    queries = 8 if args.quick else 20
    print(f"# adjustment: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at start")
    per_set, is_times, ratios, stopped, agree, finished, counts = [], [], [], 0, 0, 0, []
    python = peer_python()
    for seed in range(queries):
        d, b, x, y = graph(seed)
        q = (d, b, [x], [y], [])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            runs = []
            for _ in range(3):
                start = time.perf_counter()
                sets = zeph.adjustment_sets(*q)
                runs.append(time.perf_counter() - start)
            whole = statistics.median(runs)
            start = time.perf_counter()
            zeph.adjustment_sets(*q, limit=1)
            first = time.perf_counter() - start
        counts.append(len(sets))
        if len(sets) >= 2:
            per_set.append(max(0.0, whole - first) / (len(sets) - 1))
        if sets:
            n = 2000
            start = time.perf_counter()
            for _ in range(n):
                zeph.is_adjustment_set(*q, list(sets[0]))
            is_times.append((time.perf_counter() - start) / n)
        if python:
            try:
                proc = subprocess.run([python, "-c", PEER_CODE, json.dumps([d, b, x, y])], capture_output=True,
                                      text=True, timeout=STOP + 30)
                out = json.loads(proc.stdout.strip().splitlines()[-1]) if proc.returncode == 0 else None
            except subprocess.TimeoutExpired:
                out = None
            if out is None or out["seconds"] > STOP:
                stopped += 1
                ratios.append(STOP / whole)
            else:
                finished += 1
                ratios.append(out["seconds"] / whole)
                ours = sorted(sorted(s) for s in sets)
                # pgmpy answers an empty collection both where no set exists and where the empty set
                # suffices.
                agree += ours == out["sets"] or (out["sets"] == [] and ours in ([], [[]]))
    print(f"| adjustment_sets (minimal), per set after the first | {statistics.median(per_set) * 1e3:.3f} ms | "
          f"median over {len(per_set)} queries listing 2 or more sets (median {statistics.median(counts)} sets); "
          "target <= 1 ms")
    print(f"| is_adjustment_set, per call | {statistics.median(is_times) * 1e6:.1f} us | target <= 50 us")
    if python:
        print(f"| pgmpy get_all_backdoor_adjustment_sets / zeph adjustment_sets | {statistics.median(ratios):.0f}x | "
              f"median over {queries} queries; {stopped} stopped at {STOP:.0f} s (ratio a lower bound there); "
              f"lists agree on {agree} of the {finished} that finished; target >= 100x")
    else:
        print("| pgmpy | not installed | pgmpy could not be installed into benchmarks/.peers/pgmpy |")
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
