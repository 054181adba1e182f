"""zeph.id under stress: memory running out, a long loop of answers and errors, graphs of up to 100,000
variables and deep recursions in small thread stacks, and many threads calling at once. Crash-prone checks
run in a child interpreter, so that a crash fails one test instead of ending the run."""

import collections
import json
import os
import random
import resource
import subprocess
import sys
import threading

import pytest

import zeph

HERE = os.path.dirname(os.path.abspath(__file__))
KiB, MiB = 1 << 10, 1 << 20


def _panic_type():
    try:
        zeph.id([], [], [], ["W"], [])
    except BaseException as exc:
        return type(exc)


PANIC = _panic_type()


def outcome(args, kwargs=None):
    """The text, or the exception's type and arguments: comparable between two ways of calling."""
    try:
        return "ok", zeph.id(*args, **(kwargs or {}))
    except BaseException as exc:
        return type(exc), exc.args


def in_thread(stack_size, fn, *args):
    """fn(*args) on a new thread with the given stack size; its result, or the exception it raised."""
    old = threading.stack_size(stack_size)
    out = []

    def body():
        try:
            out.append(fn(*args))
        except BaseException as exc:
            out.append(exc)

    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(old)
    thread.join()
    return out[0]


def run_child(check, timeout=240):
    """Runs check() of this file in a child interpreter; a crash, a hang or a failure there fails the test."""
    code = f"import sys; sys.path.insert(0, {HERE!r}); import test_hardening; test_hardening.{check}()"
    try:
        proc = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", code], capture_output=True, text=True, timeout=timeout
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"{check} hung for {timeout} s\n{exc.stderr or ''}")
    # An uncaught exception exits with 1; a signal, or the C library giving up (127), is a crash.
    crashed = proc.returncode not in (0, 1) or "Fatal Python error" in proc.stderr
    assert not crashed, f"{check} crashed the interpreter (exit {proc.returncode})\n{proc.stderr[-5000:]}"
    assert proc.returncode == 0, proc.stderr[-5000:]
    print(proc.stdout, end="")  # the figures, shown by pytest -s
    return proc.stdout


def statm(field):
    with open("/proc/self/statm") as f:
        return int(f.read().split()[field]) * resource.getpagesize()


# ---------------------------------------------------------------- graphs


def chain(n, prefix="v"):
    return [(f"{prefix}{i}", f"{prefix}{i + 1}") for i in range(n - 1)]


def front_door_chain(n):
    """X -> V1 -> ... -> Vn -> Y with X <-> Y: every variable is relevant to P(Y | do(X))."""
    d = [("X", "V1")] + chain(n + 1, "V")[1:] + [(f"V{n}", "Y")]
    return d, [("X", "Y")], ["X"], ["Y"], []


def ladder(rungs):
    """Two rails a and b joined by bidirected rungs a_i <-> b_i, with bidirected edges along both rails:
    one c-component over all 2 * rungs variables. Directed: a_i -> b_i and a_i -> a_i+1."""
    a = [f"a{i}" for i in range(rungs)]
    b = [f"b{i}" for i in range(rungs)]
    d = list(zip(a, b)) + chain(rungs, "a")
    bi = list(zip(a, b)) + chain(rungs, "a") + chain(rungs, "b")
    return d, bi, a, b


FRONT_DOOR = [("X", "M"), ("M", "Y")], [("X", "Y")], ["X"], ["Y"], []
EVERYDAY = [
    FRONT_DOOR,
    ([("Z", "X"), ("Z", "Y"), ("X", "Y")], [], ["X"], ["Y"], []),
    ([("X", "Y")], [("X", "Y")], ["X"], ["Y"], []),
    ([("Z", "X"), ("X", "Y")], [("X", "Y")], ["X"], ["Y"], []),
    ([("W1", "W2"), ("W2", "X"), ("X", "Y")], [("W1", "X"), ("W1", "Y")], ["X"], ["Y"], []),
    ([("X", "Y")], [("X", "M"), ("M", "Y")], ["X"], ["Y"], []),
    ([("V1", "V2"), ("V2", "V3"), ("V3", "V4")], [("V2", "V4")], ["V3"], ["V4"], []),
    ([("X", "M"), ("M", "Y")], [("X", "Y")], ["X"], ["Y"], ["M"]),
    ([("X", "Y"), ("Z", "Y")], [], ["X"], ["Y"], ["Z"]),
]

# A dense confounded graph on which the ID recursion nests 13 deep (P(v15 | do(v0)) is a Hedge).
_D = [(0, 1), (0, 2), (0, 3), (0, 4), (0, 5), (0, 8), (0, 13), (1, 3), (1, 5), (1, 7), (1, 8), (1, 14), (1, 15),
      (2, 3), (2, 4), (2, 10), (2, 11), (2, 13), (2, 14), (3, 6), (3, 8), (3, 9), (3, 10), (3, 13), (4, 5), (4, 8),
      (4, 9), (4, 10), (4, 14), (4, 15), (5, 9), (5, 11), (6, 7), (6, 11), (6, 13), (7, 8), (7, 10), (7, 13), (7, 14),
      (7, 15), (8, 9), (8, 12), (9, 11), (9, 13), (10, 11), (10, 12), (10, 14), (10, 15), (11, 13), (11, 14),
      (12, 13), (12, 14), (12, 15), (13, 14)]
_B = [(0, 2), (0, 3), (0, 8), (0, 11), (0, 15), (1, 2), (1, 3), (1, 5), (1, 11), (2, 6), (2, 8), (2, 13), (3, 4),
      (3, 6), (3, 13), (3, 14), (4, 6), (4, 8), (4, 11), (5, 7), (5, 8), (5, 9), (5, 11), (5, 12), (6, 9), (6, 11),
      (6, 12), (6, 13), (6, 14), (7, 9), (7, 11), (7, 13), (7, 14), (8, 9), (8, 10), (8, 13), (9, 10), (9, 11),
      (9, 12), (10, 11), (11, 14), (13, 14), (14, 15)]
DEEP = [(f"v{a}", f"v{b}") for a, b in _D], [(f"v{a}", f"v{b}") for a, b in _B], ["v0"], ["v15"], []


def random_queries(seed, n, count):
    """A random semi-Markovian model over n variables (1-3 parents each, n/5 bidirected edges, shuffled edge
    list) and count queries on it: two outcomes late in the causal order, two of their ancestors as
    interventions, and for a quarter of the queries one more ancestor to condition on."""
    rng = random.Random(seed)
    order = [f"r{seed}_{i}" for i in range(n)]
    rng.shuffle(order)
    parents = {v: rng.sample(order[:i], min(i, rng.randint(1, 3))) for i, v in enumerate(order)}
    d = [(p, v) for v in order for p in parents[v]]
    b = [tuple(rng.sample(order, 2)) for _ in range(n // 5)]
    rng.shuffle(d)
    queries = []
    for _ in range(count):
        x = rng.sample(order[-n // 10 :], 2)
        seen, todo = set(), list(x)
        while todo:
            for p in parents[todo.pop()]:
                if p not in seen:
                    seen.add(p)
                    todo.append(p)
        ancestors = sorted(seen - set(x))
        y = rng.sample(ancestors, min(2, len(ancestors)))
        rest = sorted(set(ancestors) - set(y))
        z = rng.sample(rest, 1) if rest and rng.random() < 0.25 else []
        queries.append((d, b, y, x, z))
    return queries


# ---------------------------------------------------------------- memory


def check_memory_runs_out():
    small = zeph.id(*FRONT_DOOR)
    mid = front_door_chain(1500)  # needs about 12 MB
    base = statm(0)  # measured before any large request has grown the heap
    hard = base + 300 * MiB  # a few hundred MB of address space above what the interpreter uses
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))

    # Allocation fails at one point after another of a mid-size request (conversion, identification,
    # result text): every time a MemoryError or the full answer, and the process carries on.
    seen, answers = collections.Counter(), set()
    for extra in range(0, 16 * MiB, 128 * KiB):
        resource.setrlimit(resource.RLIMIT_AS, (base + extra, hard))
        try:
            answers.add(zeph.id(*mid))
            seen["answered"] += 1
        except MemoryError:
            seen["MemoryError"] += 1
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        assert zeph.id(*FRONT_DOOR) == small
    assert answers == {zeph.id(*mid)} and seen["MemoryError"] >= 10, seen

    # The chain v0 -> ... -> v11999 asked for P(v11999 | do(v0)) needs far more than 8 MB.
    n = 12_000
    edges = chain(n)
    resource.setrlimit(resource.RLIMIT_AS, (statm(0) + 8 * MiB, hard))
    try:
        with pytest.raises(MemoryError):
            zeph.id(edges, [], ["v0"], [f"v{n - 1}"], [])
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    assert zeph.id(*FRONT_DOOR) == small
    print(f"memory: {seen['MemoryError']} of {sum(seen.values())} calls under a rising limit raised MemoryError")


def test_memory_error_instead_of_a_crash():
    run_child("check_memory_runs_out")


def check_long_chain_in_little_memory():
    # X -> V1 -> ... -> V20000 -> Y with X <-> Y: nested P terms over the chain share one list, so
    # the request fits in 400 MB of address space (a list per term would need several GB).
    n = 20_000
    names = ["X"] + [f"V{i}" for i in range(1, n + 1)] + ["Y"]
    request = front_door_chain(n)
    limit = statm(0) + 400 * MiB
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    answer = json.loads(zeph.id(*request))
    # Sum over V1..Vn of P(X, V1..Vn) / P(X) times the sum over X of P(X) P(X, V1..Vn, Y) / P(X, V1..Vn).
    assert answer["sub"] == [", ".join(names[1:-1])]
    numer, denom = answer["exp"]["numer"]["exprs"], answer["exp"]["denom"]
    assert numer[1] == {"type": "P", "vars": names[:-1], "given": []}
    assert denom == {"type": "P", "vars": ["X"], "given": []}
    assert numer[0]["exp"]["numer"]["exprs"][1]["vars"] == names


def test_long_chain_in_little_memory():
    run_child("check_long_chain_in_little_memory")


def check_memory_runs_out_in_a_new_thread():
    small = zeph.id(*FRONT_DOOR)
    request = front_door_chain(3000)  # needs about 45 MB
    limit = statm(0) + 16 * MiB
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    # The thread's first C++ exception is the failed allocation: the runtime's per-thread state for
    # exceptions must not need memory that is no longer there.
    got = in_thread(1024 * KiB, zeph.id, *request)
    assert type(got) is MemoryError, repr(got)[:300]
    assert in_thread(1024 * KiB, zeph.id, *FRONT_DOOR) == small


def test_memory_error_in_a_new_thread():
    run_child("check_memory_runs_out_in_a_new_thread")


# ---------------------------------------------------------------- a long loop leaves memory flat


class IterRaises:
    """A sequence whose __iter__ raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        raise self.exc("no iterator")


def _loop_table():
    """(args, kwargs, expected exception type or None for an answer) covering every kind of outcome."""
    ok = None
    good = [("A", "B"), ("B", "C")]
    rows = [(q, {}, ok) for q in EVERYDAY + random_queries(1, 60, 3) + [front_door_chain(30)]]
    rows += [
        (([], [], []), {}, TypeError),  # missing arguments
        ((good, [], ["A"], ["C"], [], []), {}, TypeError),  # too many
        ((good, [], ["A"], ["C"]), {"w": []}, TypeError),  # unexpected keyword
        ((good, [], ["A"], ["C"], []), {"x": ["C"]}, TypeError),  # bound twice
        ((good, [], {"A"}, ["C"], []), {}, TypeError),  # not a sequence
        (([["A", "B"]], [], ["A"], ["C"], []), {}, TypeError),  # a pair that is not a tuple
        (([("A", 1)], [], ["A"], ["C"], []), {}, TypeError),  # a name that is not a str
        ((good, IterRaises(TypeError), ["A"], ["C"], []), {}, TypeError),
        ((good, IterRaises(RuntimeError), ["A"], ["C"], []), {}, RuntimeError),  # passes through unchanged
        ((good, [], "A", ["C"], []), {}, ValueError),  # a str is not a list of names
        (([("A", "B", "C")], [], ["A"], ["C"], []), {}, ValueError),  # a pair of length 3
        ((good, [], ["A"], ["A"], []), {}, ValueError),  # one variable in two roles
        (([("A", "B"), ("B", "A")], [], ["A"], ["B"], []), {}, ValueError),  # a directed cycle
        (([("A", "\ud800")], [], ["A"], ["C"], []), {}, UnicodeEncodeError),
        ((good, [], ["A"], ["W"], []), {}, PANIC),  # a name in no edge
    ]
    return rows


def check_loop_leaves_memory_flat():
    rows = _loop_table()
    expected = []
    for args, kwargs, want in rows:
        kind, value = outcome(args, kwargs)
        if want is None:
            assert kind == "ok", (args, kind, value)
            json.loads(value)
            expected.append(value)
        else:
            assert kind is want, (args, kind, value)
            expected.append(want)
    deep_answer = zeph.id(*DEEP)

    def call(i):
        if i % 50 == 0:
            # The deep request on a 32 KiB stack: RecursionError (or, if it fits, its answer).
            got = in_thread(32 * KiB, zeph.id, *DEEP)
            assert got == deep_answer or type(got) is RecursionError, got
            return
        args, kwargs, _ = rows[i % len(rows)]
        want = expected[i % len(rows)]
        try:
            got = zeph.id(*args, **kwargs)
        except BaseException as exc:
            assert type(exc) is want, (args, exc)
        else:
            assert got == want

    # PanicException writes a diagnostic line to fd 2 on every raise: silence it for the loop.
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        for i in range(10_000):
            call(i)
        rss_warm, blocks_warm = statm(1), sys.getallocatedblocks()
        for i in range(10_000, 100_000):
            call(i)
        rss_end, blocks_end = statm(1), sys.getallocatedblocks()
    finally:
        os.dup2(saved, 2)
    print(
        f"loop of 100,000 calls ({len(rows)} kinds of request + RecursionError): RSS {rss_warm / MiB:.2f} MiB after "
        f"10,000 calls, {rss_end / MiB:.2f} MiB at the end ({(rss_end - rss_warm) / KiB:+.0f} KiB); "
        f"Python blocks {blocks_warm} -> {blocks_end}"
    )
    assert rss_end - rss_warm <= 2 * MiB
    assert blocks_end - blocks_warm < 1000  # a Python object leaked per call would add tens of thousands


def test_loop_of_answers_and_errors_leaves_memory_flat():
    run_child("check_loop_leaves_memory_flat")


# ---------------------------------------------------------------- large and deep graphs

N = 100_000


def large_requests():
    """(name, request, check of the text) on graphs of up to 100,000 variables; each query touches a small part
    of the graph, or ends early in a Hedge."""
    v = [f"v{i}" for i in range(N)]
    long_chain = chain(N)
    bi_chain = chain(N)  # v_i <-> v_i+1 along the whole directed chain
    d, bi, a, b = ladder(N // 2)

    def quotient_of_joints(numer, denom):
        def check(text):
            form = json.loads(text)
            return form["type"] == "Quotient" and (form["numer"]["vars"], form["denom"]["vars"]) == (numer, denom)

        return check

    def plain(var):
        return lambda text: text == f'{{"type": "P", "vars": ["{var}"], "given": []}}'

    def hedge(text):
        return text == '{"type": "Hedge"}'

    def front_door_sum(text):  # the front-door formula, summed over V1..V2000
        form = json.loads(text)
        return form["type"] == "Marginal" and form["sub"][0].split(", ") == [f"V{i}" for i in range(1, 2001)]

    return [
        # P(v_last | do(v_last-1)) on the chain is P(v0..v_last) / P(v0..v_last-1).
        ("chain, last step", (long_chain, [], [v[-2]], [v[-1]], []), quotient_of_joints(v, v[:-1])),
        ("chain, first step", (long_chain, [], [v[0]], [v[1]], []), quotient_of_joints(v[:2], v[:1])),
        ("chain, no intervention", (long_chain, [], [], [v[-1]], []), plain(v[-1])),
        ("chain confounded step by step", (long_chain, bi_chain, [v[0]], [v[-1]], []), hedge),
        ("chain confounded, from the middle", (long_chain, bi_chain, [v[N // 2]], [v[-1]], []), hedge),
        ("bidirected path only", ([], bi_chain, [v[0]], [v[-1]], []), plain(v[-1])),
        ("ladder, across", (d, bi, [a[0]], [b[-1]], []), hedge),
        ("ladder, along a", (d, bi, [a[0]], [a[-1]], []), hedge),
        ("ladder, conditional", (d, bi, [a[0]], [b[-1]], [a[-1]]), hedge),
        ("ladder, b0 causes nothing", (d, bi, [b[0]], [b[-1]], []), plain(b[-1])),
        ("ladder, b0 given b_last", (d, bi, [], [b[0]], [b[-1]]), quotient_of_joints([b[0], b[-1]], [b[-1]])),
        ("front-door chain of 2,000", front_door_chain(2000), front_door_sum),
        ("deep recursion", DEEP, hedge),
    ]


def check_large_graphs():
    """Every request answers, in the main thread and in a thread with a 512 KiB stack, with the same text."""
    for name, request, check in large_requests():
        kind, text = outcome(request)
        assert kind == "ok" and check(text), (name, kind, text[:300])
        got = in_thread(512 * KiB, zeph.id, *request)
        assert got == text, (name, repr(got)[:300])


def test_graphs_of_100000_variables_in_small_stacks():
    run_child("check_large_graphs")


STACK_SIZES = [32 * KiB, 48 * KiB, 64 * KiB, 96 * KiB, 128 * KiB, 256 * KiB, 512 * KiB, 1024 * KiB]


def check_deep_request_in_small_stacks():
    requests = [DEEP, front_door_chain(1000), random_queries(7, 40, 1)[0], (chain(20_000), [], ["v0"], ["v1"], [])]
    seen = collections.Counter()
    for request in requests:
        answer = zeph.id(*request)
        for size in STACK_SIZES:
            got = in_thread(size, zeph.id, *request)
            assert got == answer or type(got) is RecursionError, (size, repr(got)[:300])
            if isinstance(got, RecursionError):
                assert "nests too deeply for the stack of the calling thread" in str(got)
            seen[size, type(got).__name__] += 1
    print("small stacks:", ", ".join(f"{s // KiB} KiB {k}: {n}" for (s, k), n in sorted(seen.items())))


def test_deep_request_answers_or_raises_recursion_error_in_small_stacks():
    run_child("check_deep_request_in_small_stacks")


# ---------------------------------------------------------------- threads


def check_eight_threads():
    queries = EVERYDAY + [DEEP, front_door_chain(300), front_door_chain(800)]
    queries += random_queries(3, 300, 8) + random_queries(4, 1000, 6) + random_queries(5, 3000, 4)
    queries += [([("A", "B")], [], ["A"], ["W"], []), ([("A", "B")], [], ["A"], ["A"], [])]  # failures too
    serial = [outcome(q) for q in queries]
    assert [kind for kind, _ in serial[-2:]] == [PANIC, ValueError]
    start = threading.Barrier(8)
    results = [None] * 8

    def worker(k):
        start.wait()
        order = list(range(len(queries)))
        random.Random(k).shuffle(order)  # each thread its own order, so different requests overlap
        results[k] = [(i, outcome(queries[i])) for i in order * 4]

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(8):
        wrong = [i for i, got in results[k] if got != serial[i]]
        assert not wrong, (k, wrong)


def test_eight_threads_give_the_answers_of_serial_calls():
    run_child("check_eight_threads")


# ---------------------------------------------------------------- zeph.formula


def check_formula_in_small_stacks_and_large_graphs():
    """formula answers what id answers (None for Hedge) on deep, long and large requests, in small stacks
    too, and a loop of calls leaves memory flat."""
    requests = [DEEP, front_door_chain(1000), random_queries(7, 40, 1)[0], (chain(20_000), [], ["v0"], ["v1"], [])]
    requests += [request for _, request, _ in large_requests()][:6]
    for request in requests:
        machine = zeph.id(*request)
        answer = zeph.formula(*request, style="text")
        assert (answer is None) == (machine == '{"type": "Hedge"}'), repr(answer)[:300]
        for size in STACK_SIZES:
            got = in_thread(size, zeph.formula, *request, "text")
            assert got == answer or type(got) is RecursionError, (size, repr(got)[:300])
    small = [EVERYDAY[0], DEEP, front_door_chain(50)]
    for style in ("json", "text", "latex"):
        for request in small:
            zeph.formula(*request, style=style)
    before = statm(1)
    for _ in range(300):
        for style in ("json", "text", "latex"):
            for request in small:
                zeph.formula(*request, style=style)
            try:
                zeph.formula([("A", "B")], [], ["A"], ["W"], [], style)
            except BaseException:
                pass
    grown = statm(1) - before
    assert grown < 4 * MiB, grown


def test_formula_in_small_stacks_and_large_graphs():
    run_child("check_formula_in_small_stacks_and_large_graphs")
