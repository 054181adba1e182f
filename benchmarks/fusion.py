"""Timings of zeph.gid (and zeph.transport), beside Ananke's one-line general identification.

    python benchmarks/fusion.py          # every case (the first run installs Ananke, about 600 MB)
    python benchmarks/fusion.py --quick  # fewer random graphs

Cases:
- gid on the everyday graphs of benchmarks/run.py, each with two distributions: the observational one
  and an experiment on the first variable (in first-seen order) outside the query; per call from Python.
- gid on random graphs of 20 variables, 30 directed and 10 bidirected edges (a fixed seed per graph),
  the query P(Y | do(X)) for X early and Y late in the causal order, with three experiments of two
  variables each (none on Y); per call, median over the graphs.
- beside it, Ananke's OneLineGID (ananke-causal 0.5.0 in benchmarks/.peers/ananke, installed with
  --no-deps and the libraries it imports, never into the project's environment) on the same random
  queries, building its ADMG and the experiments' graphs included: the verdicts (identified or not)
  compared, and the ratio of the medians. Where Ananke cannot be installed, the row says so.
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import timeit

import zeph

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from run import EVERYDAY  # noqa: E402

PEERS = os.path.join(HERE, ".peers")


def per_call(fn, repeat=5):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    return statistics.median(t / number for t in timer.repeat(repeat, number))


def first_seen(d, b):
    order = []
    for u, v in list(d) + list(b):
        for x in (u, v):
            if x not in order:
                order.append(x)
    return order


def random_case(seed, n=20, nd=30, nb=10):
    rng = random.Random(seed)
    order = [f"V{i}" for i in range(n)]
    d, b = set(), set()
    while len(d) < nd:
        i, j = sorted(rng.sample(range(n), 2))
        d.add((order[i], order[j]))
    while len(b) < nb:
        i, j = sorted(rng.sample(range(n), 2))
        b.add((order[i], order[j]))
    d, b = sorted(d), sorted(b)
    used = {v for e in d + b for v in e}
    b += [(v, v) for v in order if v not in used]  # every variable can be named in a query
    x, y = order[rng.randrange(3, 12)], order[rng.randrange(14, 20)]
    others = [v for v in order if v not in (x, y)]
    experiments = [sorted(rng.sample(others, 2)) for _ in range(3)]
    return d, b, x, y, experiments


def ananke_python():
    venv = os.path.join(PEERS, "ananke")
    python = os.path.join(venv, "bin", "python")
    probe = [python, "-c", "from ananke.identification import OneLineGID"]
    if os.path.exists(python) and subprocess.run(probe, capture_output=True).returncode == 0:
        return python
    try:
        subprocess.run([sys.executable, "-m", "venv", venv], check=True, capture_output=True)
        pip = [python, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
        subprocess.run(pip + ["--no-deps", "ananke-causal==0.5.0", "pgmpy==0.1.21"], check=True, capture_output=True)
        subprocess.run(pip + ["numpy<2", "scipy<1.14", "pandas<2", "networkx", "sympy", "opt_einsum", "joblib",
                              "tqdm", "pyparsing", "scikit-learn", "statsmodels", "setuptools<70"],
                       check=True, capture_output=True)
    except (subprocess.CalledProcessError, OSError):
        return None
    return python if subprocess.run(probe, capture_output=True).returncode == 0 else None


PEER_CODE = r"""
import copy, json, sys, timeit, statistics, warnings
warnings.simplefilter("ignore")
from ananke.graphs import ADMG
from ananke.identification import OneLineGID
cases = json.loads(sys.argv[1])
out = []
for d, b, x, y, experiments in cases:
    names = sorted({v for e in d + b for v in e} | {x, y})
    def run():
        g = ADMG(names, di_edges=[tuple(e) for e in d], bi_edges=[tuple(e) for e in b if e[0] != e[1]])
        exps = []
        for e in experiments:
            h = copy.deepcopy(g)
            h.fix(e)
            exps.append(h)
        try:
            return OneLineGID(g, [x], [y]).id(exps)
        except Exception:
            return False
    verdict = bool(run())
    timer = timeit.Timer(run)
    number, _ = timer.autorange()
    out.append({"verdict": verdict, "seconds": statistics.median(t / number for t in timer.repeat(3, number))})
print(json.dumps(out))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    print(f"# zeph.gid: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at start")
    times = []
    for name, _, (d, b, y, x, z) in EVERYDAY:
        outside = [v for v in first_seen(d, b) if v not in y + x + z]
        experiments = [[], outside[:1]]
        times.append(per_call(lambda: zeph.gid(d, b, y, x, z, experiments)))
        print(f"| gid, {name:<25} | {times[-1] * 1e6:8.1f} us |")
    print(f"| gid, everyday graphs, slowest | {max(times) * 1e6:8.1f} us | target <= 50 us each")

    graphs = 10 if args.quick else 40
    cases = [random_case(seed) for seed in range(graphs)]
    ours, verdicts = [], []
    for d, b, x, y, experiments in cases:
        ours.append(per_call(lambda: zeph.gid(d, b, [x], [y], [], experiments), repeat=3))
        verdicts.append(zeph.gid(d, b, [x], [y], [], experiments) is not None)
    print(f"| gid, 20 variables, 3 experiments of 2 | {statistics.median(ours) * 1e3:8.3f} ms | median over {graphs} "
          f"graphs (slowest {max(ours) * 1e3:.3f} ms), {sum(verdicts)} identified; target <= 1 ms")
    python = ananke_python()
    if python is None:
        print("| Ananke OneLineGID | not installed | ananke-causal could not be installed into benchmarks/.peers/ananke |")
    else:
        proc = subprocess.run([python, "-c", PEER_CODE, json.dumps(cases)], capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"| Ananke OneLineGID | failed | {proc.stderr.strip().splitlines()[-1]} |")
        else:
            theirs = json.loads(proc.stdout.strip().splitlines()[-1])
            same = sum(t["verdict"] == v for t, v in zip(theirs, verdicts))
            ratio = statistics.median(t["seconds"] for t in theirs) / statistics.median(ours)
            print(f"| Ananke OneLineGID, same queries | {statistics.median(t['seconds'] for t in theirs) * 1e3:8.3f} ms | "
                  f"zeph {ratio:.0f}x faster (target >= 100x); the same verdict on {same} of {graphs}")
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
