"""zeph beside y0, per call, on 16 graphs of the literature; and the answers of every function kept byte
for byte from one build to the next.

    python benchmarks/speed.py                      # zeph and y0 side by side (installs y0 on first run)
    python benchmarks/speed.py --answers out.json   # writes the answers of the speed queries and of
                                                    # 10,000 random queries (id, formula, hedge)
    python benchmarks/speed.py --compare a.json b.json   # the two builds' answers, compared

y0 (https://github.com/y0-causal-inference/y0) is installed by this script into benchmarks/.peers/y0,
never into the project's environment; its `identify_outcomes` is timed on the same queries, building its
graph from the same edge lists included, as zeph.id is timed converting its arguments. Both run in turn
in one process, so that the machine's load weighs on both alike. The figure is the geometric mean over
the graphs of y0's time over zeph's.

To compare two builds: run `--answers` with each on PYTHONPATH (or installed), then `--compare`.
"""

import argparse
import hashlib
import json
import math
import os
import random
import statistics
import subprocess
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from run import EVERYDAY, chain, dense_model, queries, random_model  # noqa: E402

PEERS = os.path.join(HERE, ".peers")

# Eight more graphs of the literature beside the everyday ones: (name, query text, arguments).
MORE = [
    ("M-bias with an effect", "P(Y | do(X))",
     ([("A", "M"), ("B", "M"), ("A", "X"), ("B", "Y"), ("X", "Y")], [], ["X"], ["Y"], [])),
    ("butterfly", "P(Y | do(X))",
     ([("A", "M"), ("B", "M"), ("A", "X"), ("B", "Y"), ("M", "X"), ("M", "Y"), ("X", "Y")], [], ["X"], ["Y"], [])),
    ("double front door", "P(Y | do(X))",
     ([("X", "M1"), ("X", "M2"), ("M1", "Y"), ("M2", "Y")], [("X", "Y")], ["X"], ["Y"], [])),
    ("instrument with a covariate", "P(Y | do(X))",
     ([("W", "Z"), ("Z", "X"), ("X", "Y"), ("W", "Y")], [("X", "Y")], ["X"], ["Y"], [])),
    ("conditional back door", "P(Y | W, do(X))",
     ([("Z", "X"), ("Z", "Y"), ("X", "Y"), ("X", "W")], [], ["X"], ["Y"], ["W"])),
    ("two treatments", "P(Y | do(X1, X2))",
     ([("X1", "X2"), ("X2", "Y"), ("X1", "Y"), ("Z", "X2")], [("X1", "Z"), ("Z", "Y")], ["X1", "X2"], ["Y"], [])),
    ("Tian and Pearl's identifiable case", "P(Y | do(X))",
     ([("X", "Z1"), ("Z1", "Y"), ("Z2", "X"), ("Z2", "Z1"), ("Z2", "Y")], [("X", "Z2"), ("Z1", "Y")], ["X"], ["Y"], [])),
    ("confounded mediator chain", "P(Y | do(X))",
     ([("X", "Z1"), ("Z1", "Z2"), ("Z2", "Y")], [("X", "Y"), ("Z1", "Y")], ["X"], ["Y"], [])),
]
LITERATURE = EVERYDAY + MORE


def peer_python():
    venv = os.path.join(PEERS, "y0")
    python = os.path.join(venv, "bin", "python")
    probe = [python, "-c", "from y0.algorithm.identify import identify_outcomes"]
    if os.path.exists(python) and subprocess.run(probe, capture_output=True).returncode == 0:
        return python
    try:
        subprocess.run([sys.executable, "-m", "venv", venv], check=True, capture_output=True)
        subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "y0"], check=True,
                       capture_output=True)
    except (subprocess.CalledProcessError, OSError):
        return None
    return python if subprocess.run(probe, capture_output=True).returncode == 0 else None


def per_call(fn, repeat):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    return statistics.median(t / number for t in timer.repeat(repeat, number))


PEER_CODE = r"""
import json, sys, statistics, timeit, warnings
warnings.simplefilter("ignore")
from y0.graph import NxMixedGraph
from y0.algorithm.identify import identify_outcomes
from y0.dsl import Variable
cases, repeat = json.loads(sys.argv[1]), int(sys.argv[2])
out = []
for d, b, y, x, z in cases:
    def run():
        g = NxMixedGraph.from_str_edges(directed=[tuple(e) for e in d], undirected=[tuple(e) for e in b])
        return identify_outcomes(g, treatments={Variable(v) for v in y}, outcomes={Variable(v) for v in x},
                                 conditions={Variable(v) for v in z} or None)
    run()
    timer = timeit.Timer(run)
    number, _ = timer.autorange()
    out.append(statistics.median(t / number for t in timer.repeat(repeat, number)))
print(json.dumps(out))
"""


def side_by_side(repeat):
    import zeph

    python = peer_python()
    print(f"# zeph beside y0: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at start")
    ours = [per_call(lambda: zeph.id(*args), repeat) for _, _, args in LITERATURE]
    if python is None:
        for (name, query, _), t in zip(LITERATURE, ours):
            print(f"| {name:<36} | {query:<18} | zeph {t * 1e6:7.2f} us |")
        print("| y0 | could not be installed into benchmarks/.peers/y0 |")
        return
    proc = subprocess.run([python, "-c", PEER_CODE, json.dumps([a for _, _, a in LITERATURE]), str(repeat)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        print("| y0 | failed |", proc.stderr.strip().splitlines()[-1])
        return
    theirs = json.loads(proc.stdout.strip().splitlines()[-1])
    again = [per_call(lambda: zeph.id(*args), repeat) for _, _, args in LITERATURE]  # after y0: both loads
    ours = [min(a, b) for a, b in zip(ours, again)]
    ratios = []
    for (name, query, _), t, u in zip(LITERATURE, ours, theirs):
        ratios.append(u / t)
        print(f"| {name:<36} | {query:<18} | zeph {t * 1e6:7.2f} us | y0 {u * 1e3:7.3f} ms | {u / t:7.0f}x |")
    mean = math.exp(sum(map(math.log, ratios)) / len(ratios))
    print(f"| geometric mean of y0 / zeph over {len(ratios)} graphs | {mean:.0f}x | target >= 200x |")
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


def random_queries(count=10_000, seed=26):
    """Random semi-Markovian graphs of 3 to 12 variables and queries on them, some conditional."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        n = rng.randint(3, 12)
        names = [f"V{i}" for i in range(n)]
        order = rng.sample(names, n)
        d = [(u, v) for i, u in enumerate(order) for v in order[i + 1:] if rng.random() < 0.35]
        pairs = [(u, v) for i, u in enumerate(names) for v in names[i + 1:]]
        b = rng.sample(pairs, rng.randint(0, min(4, len(pairs))))
        present = sorted({v for e in d + b for v in e})
        if len(present) < 2:
            continue
        rng.shuffle(present)
        k = rng.randint(1, min(2, len(present) - 1))
        y, x = present[:k], present[k:k + rng.randint(1, 2)]
        z = present[k + len(x):k + len(x) + rng.randint(0, 1)]
        out.append((d, b, y, x, z))
    return out


def large_queries(seed=26):
    """Queries on graphs past the size where the packed parent lists take over: long chains, random
    models of 1,000 variables and dense ones of 60."""
    rng = random.Random(seed)
    out = [chain(n) for n in (150, 500, 2000)]
    for n in (300, 1000):
        order, d, b = random_model(n, rng)
        out += queries(order, d, b, 10, rng)
    order, d, b = dense_model(60, rng)
    out += queries(order, d, b, 10, rng)
    return out


def answers(path):
    import zeph

    record = {}
    for label, batch in (("speed", [a for _, _, a in LITERATURE]), ("random", random_queries()),
                         ("large", large_queries())):
        digest = {name: hashlib.sha256() for name in ("id", "formula text", "formula json", "hedge")}
        for q in batch:
            digest["id"].update(zeph.id(*q).encode())
            digest["formula text"].update(repr(zeph.formula(*q, style="text")).encode())
            digest["formula json"].update(repr(zeph.formula(*q)).encode())
            digest["hedge"].update(repr(zeph.hedge(*q)).encode())
        record[label] = {k: v.hexdigest() for k, v in digest.items()}
        record[label]["queries"] = len(batch)
    with open(path, "w") as f:
        json.dump(record, f, indent=1)
    print(json.dumps(record, indent=1))


def compare(a, b):
    with open(a) as f:
        first = json.load(f)
    with open(b) as f:
        second = json.load(f)
    same = first == second
    for label in first:
        for k in first[label]:
            print(f"| {label:<7} | {k:<13} | {'same' if first[label][k] == second[label].get(k) else 'DIFFERENT'} |")
    print("every answer byte for byte the same" if same else "ANSWERS DIFFER")
    return 0 if same else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--answers")
    parser.add_argument("--compare", nargs=2)
    args = parser.parse_args()
    if args.answers:
        answers(args.answers)
    elif args.compare:
        return compare(*args.compare)
    else:
        side_by_side(args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
