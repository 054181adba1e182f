"""Timings of zeph.id and zeph.formula, printed as one table.

    python benchmarks/run.py              # every case (a few minutes)
    python benchmarks/run.py --quick      # small sizes, fewer runs
    python benchmarks/run.py --only chain # one group, or one case such as random-1000

Each case runs in a fresh interpreter, so a crash or a hang in one case is reported in
its row and the others still run, and the peak memory of a case is its own.
"""

import argparse
import json
import os
import platform
import random
import resource
import signal
import statistics
import subprocess
import sys
import time
import timeit

SEED = 6
CHILD_TIMEOUT = 1800  # seconds for one case; a hung call is reported, not waited on forever

# The everyday graphs: (name, query as text, (d_edges, b_edges, y, x, z)).
# y holds the interventions, x the outcomes, z the conditioning variables.
FRONT_DOOR = [("X", "M"), ("M", "Y")], [("X", "Y")]
EVERYDAY = [
    ("front-door", "P(Y | do(X))", (*FRONT_DOOR, ["X"], ["Y"], [])),
    ("back-door", "P(Y | do(X))", ([("Z", "X"), ("Z", "Y"), ("X", "Y")], [], ["X"], ["Y"], [])),
    ("bow arc", "P(Y | do(X))", ([("X", "Y")], [("X", "Y")], ["X"], ["Y"], [])),
    ("instrumental variable", "P(Y | do(X))", ([("Z", "X"), ("X", "Y")], [("X", "Y")], ["X"], ["Y"], [])),
    ("napkin", "P(Y | do(X))",
     ([("W1", "W2"), ("W2", "X"), ("X", "Y")], [("W1", "X"), ("W1", "Y")], ["X"], ["Y"], [])),
    ("M-graph", "P(Y | do(X))", ([("X", "Y")], [("X", "M"), ("M", "Y")], ["X"], ["Y"], [])),
    ("Verma", "P(V4 | do(V3))",
     ([("V1", "V2"), ("V2", "V3"), ("V3", "V4")], [("V2", "V4")], ["V3"], ["V4"], [])),
    ("front-door, conditional", "P(Y | M, do(X))", (*FRONT_DOOR, ["X"], ["Y"], ["M"])),
]

RANDOM_SIZES = [100, 1_000, 10_000]
CHAIN_SIZES = [500, 1_000, 2_000, 4_000, 20_000]
DENSE_SIZES = [40, 60]
QUICK_CASES = ["everyday", "formula", "random-100", "random-1000", "chain-500", "chain-1000", "dense-40"]
ALL_CASES = (["everyday", "formula"] + [f"random-{n}" for n in RANDOM_SIZES]
             + [f"chain-{n}" for n in CHAIN_SIZES] + [f"dense-{n}" for n in DENSE_SIZES])

# Targets of issues 6 and 16: (op, limit) in the row's own unit (seconds, MB/s, MB, ratio).
TARGETS = {
    ("everyday", "each"): ("<=", 10e-6),
    ("everyday", "slowest"): ("<=", 25e-6),
    ("random-1000", "median"): ("<=", 1e-3),
    ("random-10000", "median"): ("<=", 20e-3),
    ("random-10000", "slowest"): ("<=", 2.0),
    ("chain-2000", "median"): ("<=", 0.1),
    ("chain-20000", "median"): ("<=", 2.0),
    ("dense-60", "median"): ("<=", 2e-3),
}
FORMULA_TARGET = ("<=", 3.0)  # formula time / id time on each everyday graph (issue 11)
RATE_TARGET = (">=", 20.0)  # MB of JSON per second, answers over 100 KB
MEMORY_TARGET = ("<", 1000.0)  # MB
CHAIN_MEMORY_TARGET = ("<=", 300.0)  # MB, chain n = 20,000
GROWTH_TARGET = ("<=", 20.0)  # chain time(4000) / time(1000)


# ---------------------------------------------------------------- models and queries

def chain(n):
    """X -> V1 -> ... -> Vn -> Y with X <-> Y; P(Y | do(X))."""
    names = ["X"] + [f"V{i}" for i in range(1, n + 1)] + ["Y"]
    return list(zip(names, names[1:])), [("X", "Y")], ["X"], ["Y"], []


def random_model(n, rng):
    """A random order; each variable but the first gets 1 to 3 parents before it; n/10 bidirected pairs."""
    order = [f"V{i}" for i in range(n)]
    rng.shuffle(order)
    d_edges = [(order[p], order[i]) for i in range(1, n) for p in rng.sample(range(i), rng.randint(1, min(3, i)))]
    rng.shuffle(d_edges)  # so that the numbering of names does not follow the causal order
    b_edges = set()
    while len(b_edges) < n // 10:
        b_edges.add(tuple(sorted(rng.sample(order, 2))))
    return order, d_edges, sorted(b_edges)


def dense_model(n, rng):
    """Each pair joined along a random order with probability 0.3, and by <-> with probability 0.02."""
    order = [f"V{i}" for i in range(n)]
    rng.shuffle(order)
    pairs = [(order[i], order[j]) for i in range(n) for j in range(i + 1, n)]
    d_edges = [p for p in pairs if rng.random() < 0.3]
    b_edges = [p for p in pairs if rng.random() < 0.02]
    return order, d_edges, b_edges


def queries(order, d_edges, b_edges, count, rng):
    """`count` queries: 2 outcomes from the last tenth of the order, 2 interventions from its middle third."""
    named = {v for e in d_edges + b_edges for v in e}  # a query may only name variables that occur in an edge
    n = len(order)
    last = [v for v in order[n - max(2, n // 10):] if v in named]
    middle = [v for v in order[n // 3: 2 * n // 3] if v in named]
    return [(d_edges, b_edges, rng.sample(middle, 2), rng.sample(last, 2), []) for _ in range(count)]


def reaching(args_list):
    """How many queries have an intervention among the ancestors of their outcomes (the others are plain P(x))."""
    parents = {}
    for a, b in args_list[0][0]:
        parents.setdefault(b, []).append(a)
    count = 0
    for _, _, y, x, _ in args_list:
        seen, todo = set(x), list(x)
        while todo:
            for p in parents.get(todo.pop(), ()):
                if p not in seen:
                    seen.add(p)
                    todo.append(p)
        count += any(v in seen for v in y)
    return count


# ---------------------------------------------------------------- measuring (in the child)

def measure(zeph, args, repeat, min_sample):
    """(answer, per-call seconds of each run, error text). A run is as many calls as fill min_sample."""
    d, b, y, x, z = args
    timer = timeit.Timer("f(d, b, y, x, z)", globals={"f": zeph.id, "d": d, "b": b, "y": y, "x": x, "z": z})
    try:
        answer = zeph.id(d, b, y, x, z)
        if not isinstance(answer, str):
            return None, [], f"returned {type(answer).__name__}, not str"
        number, t = 1, timer.timeit(1)
        while t < min_sample / 10:  # calibrate on a tenth of a run
            number *= 10
            t = timer.timeit(number)
        if t / number > 0.5:
            repeat = min(repeat, 3)  # slow calls: fewer runs
        number = max(1, round(number * min_sample / t))
        return answer, [s / number for s in timer.repeat(repeat, number)], None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # PanicException derives from BaseException
        return None, [], " ".join(f"{type(e).__name__}: {e}".split())[:100]


def paired(zeph, args, repeat, min_sample):
    """Per-call seconds of id and of formula on one query, a run of each in turn; error text or None."""
    d, b, y, x, z = args
    timers = [timeit.Timer("f(d, b, y, x, z)", globals={"f": f, "d": d, "b": b, "y": y, "x": x, "z": z})
              for f in (zeph.id, zeph.formula)]
    try:
        numbers = []
        for timer in timers:
            number, t = 1, timer.timeit(1)
            while t < min_sample / 10:
                number *= 10
                t = timer.timeit(number)
            numbers.append(max(1, round(number * min_sample / t)))
        runs = ([], [])
        for _ in range(repeat):
            for k, (timer, number) in enumerate(zip(timers, numbers)):
                runs[k].append(timer.timeit(number) / number)
        return runs, None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        return ([], []), " ".join(f"{type(e).__name__}: {e}".split())[:100]


def row(figure, kind, values, target=None, note=""):
    return {"figure": figure, "kind": kind, "values": values, "target": target, "note": note}


def size_note(answer):
    return "Hedge" if answer == '{"type": "Hedge"}' else f"answer {len(answer.encode())} B"


def query_rows(zeph, case, label, args_list, repeat, min_sample):
    """Rows for a batch of queries: median and slowest query, answer sizes, JSON rate of big answers."""
    results = [measure(zeph, a, repeat, min_sample) for a in args_list]
    ok = [(ans, runs) for ans, runs, err in results if err is None]
    errors = [err for _, _, err in results if err]
    note = f"{len(errors)} of {len(results)} failed, e.g. {errors[0]}" if errors else ""
    if not ok:
        return [row(f"median of {label}", "s", [], TARGETS.get((case, "median")), note)]
    nruns = min(len(runs) for _, runs in ok)
    per_run = [[runs[r] for _, runs in ok] for r in range(nruns)]
    sizes = [len(ans.encode()) for ans, _ in ok]
    hedges = sum(ans == '{"type": "Hedge"}' for ans, _ in ok)
    rows = [
        row(f"median of {label}", "s", [statistics.median(r) for r in per_run], TARGETS.get((case, "median")), note),
        row("slowest query", "s", [max(r) for r in per_run], TARGETS.get((case, "slowest"))),
        row("answer size", "B", sizes, None, f"{hedges} Hedge" if hedges else ""),
    ]
    big = [i for i, s in enumerate(sizes) if s > 100_000]
    if big:
        rates = [sum(sizes[i] for i in big) / sum(r[i] for i in big) / 1e6 for r in per_run]
        rows.append(row("JSON rate, answers > 100 KB", "MB/s", rates, RATE_TARGET, f"{len(big)} answers"))
    else:
        rows.append(row("JSON rate, answers > 100 KB", "MB/s", [], RATE_TARGET, "no answer > 100 KB"))
    return rows


def run_case(case, repeat, min_sample):
    """Runs one case in this process; returns its rows and the peak memory."""
    import zeph

    group, _, size = case.partition("-")
    rows, rss_before = [], None
    if group == "everyday":
        slowest = []
        for name, query, args in EVERYDAY:
            answer, runs, err = measure(zeph, args, repeat, min_sample)
            rows.append(row(f"{name} {query}", "s", runs, TARGETS[("everyday", "each")],
                            err or size_note(answer)))
            slowest.append(runs)
        ok = [r for r in slowest if r]
        if ok:
            per_run = [max(r[i] for r in ok) for i in range(min(map(len, ok)))]
            rows.append(row("slowest of the graphs", "s", per_run, TARGETS[("everyday", "slowest")]))
    elif group == "formula":
        worst = []
        for name, query, args in EVERYDAY:
            (id_runs, formula_runs), err = paired(zeph, args, repeat, min_sample)
            text = zeph.formula(*args, style="text") if not err else None
            ratios = [f / i for f, i in zip(formula_runs, id_runs)]
            note = err or f"id {statistics.median(id_runs) * 1e6:.1f} us; " + (text or "None (Hedge)")
            rows.append(row(f"{name} {query}", "s", formula_runs, None, note))
            rows.append(row("  formula / id", "x", ratios, FORMULA_TARGET))
            worst.append(ratios)
        ok = [r for r in worst if r]
        if ok:
            per_run = [max(r[i] for r in ok) for i in range(min(map(len, ok)))]
            rows.append(row("largest formula / id", "x", per_run, FORMULA_TARGET))
    elif group == "chain":
        args = chain(int(size))
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        answer, runs, err = measure(zeph, args, repeat, min_sample)
        rows.append(row("P(Y | do(X))", "s", runs, TARGETS.get((case, "median")), err or size_note(answer)))
        if answer and len(answer.encode()) > 100_000:
            rows.append(row("JSON rate, answer > 100 KB", "MB/s", [len(answer.encode()) / t / 1e6 for t in runs],
                            RATE_TARGET))
    elif group in ("random", "dense"):
        n = int(size)
        rng = random.Random(SEED * 1_000_003 + n)
        order, d_edges, b_edges = (random_model if group == "random" else dense_model)(n, rng)
        count = 20 if group == "random" else 10
        qs = queries(order, d_edges, b_edges, count, rng)
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        rows = query_rows(zeph, case, f"{count} queries", qs, repeat, min_sample)
        rows[0]["note"] = (rows[0]["note"] + "; " if rows[0]["note"] else "") + \
            f"{len(d_edges)} ->, {len(b_edges)} <->; {reaching(qs)} of {count} reach an intervention"
    else:
        raise SystemExit(f"unknown case {case}")
    return {"rows": rows, "maxrss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, "rss_before_kb": rss_before}


# ---------------------------------------------------------------- the table (in the parent)

def run_child(case, repeat, min_sample):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", case, "--repeat", str(repeat),
           "--sample", str(min_sample)]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        return {"error": f"no result after {CHILD_TIMEOUT} s (timed out)"}
    if p.returncode != 0 or not p.stdout.strip():
        last = (p.stderr.strip().splitlines() or [""])[-1][:100]
        how = f"killed by {signal.Signals(-p.returncode).name}" if p.returncode < 0 else f"exit status {p.returncode}"
        return {"error": f"case process {how} {last}".strip()}
    return json.loads(p.stdout.strip().splitlines()[-1])


def num(v):
    return f"{v:.0f}" if abs(v) >= 100 else f"{v:.1f}" if abs(v) >= 10 else f"{v:.2f}"


def scale(kind, v):
    """(divisor, unit) suited to a value of this kind."""
    if kind == "s":
        return (1e-6, "us") if v < 1e-3 else (1e-3, "ms") if v < 1 else (1, "s")
    return 1, kind


def fmt(kind, v, ref=None):
    div, unit = scale(kind, v if ref is None else ref)
    return f"{v / div:,.0f} {unit}" if kind == "B" else f"{num(v / div)} {unit}"


def fmt_target(kind, target):
    div, unit = scale(kind, target[1])
    return f"{target[0]} {target[1] / div:,g} {unit}"


def met(target, value):
    op, limit = target
    return "yes" if {"<=": value <= limit, "<": value < limit, ">=": value >= limit}[op] else "NO"


def table_line(case, r):
    """case, figure, median, spread, target, met, note."""
    vals, kind, target = r["values"], r["kind"], r["target"]
    if not vals:
        return [case, r["figure"], "-", "", fmt_target(kind, target) if target else "", "", r["note"]]
    med = statistics.median(vals)
    spread = f"{fmt(kind, min(vals), med)} - {fmt(kind, max(vals), med)}" if len(vals) > 1 else ""
    return [case, r["figure"], fmt(kind, med), spread, fmt_target(kind, target) if target else "",
            met(target, med) if target else "", r["note"]]


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    try:
        from importlib.metadata import version
        zv = version("zeph")
    except Exception:
        zv = "unknown"
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = "%.2f %.2f %.2f" % os.getloadavg() if hasattr(os, "getloadavg") else "?"
    return [f"machine: {cpu}, {os.cpu_count()} cores ({usable} usable), load average {load}",
            f"python: {platform.python_implementation()} {platform.python_version()} on {platform.system()} "
            f"{platform.machine()}; zeph {zv}"]


def main():
    ap = argparse.ArgumentParser(description="Timings of zeph.id and zeph.formula, printed as one table.")
    ap.add_argument("--quick", action="store_true", help="small cases and fewer runs: a smoke run")
    ap.add_argument("--only", metavar="NAME", help="a group (everyday, formula, random, chain, dense) or a case (random-1000)")
    ap.add_argument("--repeat", type=int, help="runs per figure (default 5, 3 with --quick)")
    ap.add_argument("--sample", type=float, help="least seconds of calls in one run (default 0.05, 0.01 with --quick)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    a = ap.parse_args()
    repeat = a.repeat or (3 if a.quick else 5)
    min_sample = a.sample or (0.01 if a.quick else 0.05)
    if a.child:
        print(json.dumps(run_case(a.child, repeat, min_sample)))
        return 0

    try:
        import zeph  # noqa: F401  (checked here so that a missing build is one clear message)
    except ImportError as e:
        print(f"cannot import zeph: {e}\nbuild it first: pip install --no-build-isolation .", file=sys.stderr)
        return 1
    if a.only:
        cases = [c for c in ALL_CASES if c == a.only or c.startswith(a.only + "-")]
        if not cases:
            ap.error(f"--only {a.only}: no such case; cases are {', '.join(ALL_CASES)}")
    else:
        cases = QUICK_CASES if a.quick else ALL_CASES

    lines, results, start = [], {}, time.time()
    for case in cases:
        print(f"running {case} ...", file=sys.stderr, flush=True)
        results[case] = res = run_child(case, repeat, min_sample)
        if "error" in res:
            lines.append([case, "-", "-", "", "", "", res["error"]])
        for r in res.get("rows", []):
            lines.append(table_line(case, r))

    # Growth along the chain, from two of its cases.
    t = {n: statistics.median(results[f"chain-{n}"]["rows"][0]["values"])
         for n in (1_000, 4_000) if results.get(f"chain-{n}", {}).get("rows", [{}])[0].get("values")}
    if len(t) == 2:
        ratio = t[4_000] / t[1_000]
        lines.append(["chain", "time(4000) / time(1000)", f"{ratio:.1f}x", "", f"<= {GROWTH_TARGET[1]:.0f}x",
                      met(GROWTH_TARGET, ratio), ""])
    # Peak memory of the largest random model that ran, measured in its own process.
    big = [c for c in cases if c.startswith("random-") and "maxrss_kb" in results[c]]
    if big:
        c = max(big, key=lambda c: int(c.split("-")[1]))
        mb = results[c]["maxrss_kb"] * 1024 / 1e6
        before = results[c]["rss_before_kb"] * 1024 / 1e6
        lines.append([c, "peak memory (max RSS)", f"{mb:,.0f} MB", "", f"< {MEMORY_TARGET[1]:,.0f} MB",
                      met(MEMORY_TARGET, mb), f"{before:,.0f} MB before the first call"])

    # Peak memory of the longest chain, in its own process.
    if "maxrss_kb" in results.get("chain-20000", {}):
        r = results["chain-20000"]
        mb, before = r["maxrss_kb"] * 1024 / 1e6, r["rss_before_kb"] * 1024 / 1e6
        lines.append(["chain-20000", "peak memory (max RSS)", f"{mb:,.0f} MB", "",
                      f"<= {CHAIN_MEMORY_TARGET[1]:,.0f} MB", met(CHAIN_MEMORY_TARGET, mb),
                      f"{before:,.0f} MB before the first call"])

    header = ["case", "figure", "median", "spread (min - max)", "target", "met", "note"]
    widths = [max(len(str(l[i])) for l in [header] + lines) for i in range(len(header))]
    print(f"zeph benchmarks, {time.strftime('%Y-%m-%d %H:%M')}, {time.time() - start:.0f} s")
    print("\n".join(machine()))
    print(f"settings: {repeat} runs per figure, each run >= {min_sample * 1e3:.0f} ms of calls, seed {SEED}"
          + (", quick" if a.quick else ""))
    print()
    for i, l in enumerate([header] + lines):
        print("  ".join(str(c).ljust(w) if j < 2 or j >= 4 else str(c).rjust(w)
                        for j, (c, w) in enumerate(zip(l, widths))).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    return 0


if __name__ == "__main__":
    sys.exit(main())
