"""Every function beside id takes anything as any argument: it answers or raises an ordinary Python
exception (or id's PanicException), never crashes or hangs the interpreter, and never leaves an error
pending. Many threads calling them at once get the answers of serial calls. Each property runs in a
child interpreter, so that a crash is reported as a failing test."""

import math
import random
import threading
import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

import zeph
from test_fuzz import FUZZ, PANIC, alphabet, anything, run_isolated

FORWARD = st.lists(st.tuples(alphabet, alphabet).filter(lambda p: p[0] < p[1]), min_size=1, max_size=6)
BIDIRECTED = st.lists(st.tuples(alphabet, alphabet), max_size=3)
NAMES = st.lists(alphabet, max_size=2)
VALUES = st.sampled_from([0, 1, 2, "a", True, 1.5])
DATA = st.dictionaries(alphabet, st.lists(VALUES, min_size=3, max_size=3), max_size=5)

# Each function with a strategy of its well-formed arguments (positional, then keyword).
CALLS = {
    "estimate": st.tuples(st.tuples(FORWARD, BIDIRECTED, NAMES, NAMES, NAMES, DATA),
                          st.fixed_dictionaries({}, optional={"weights": alphabet, "ci": st.floats(0, 1),
                                                              "replicates": st.integers(1, 50), "seed": st.integers(0, 9)})),
    "effect": st.tuples(st.tuples(FORWARD, BIDIRECTED, NAMES, NAMES, NAMES, DATA),
                        st.fixed_dictionaries({"treated": VALUES, "control": VALUES},
                                              optional={"event": VALUES, "measure": st.sampled_from(["ratio", "difference"]),
                                                        "replicates": st.integers(1, 50)})),
    "implications": st.tuples(st.tuples(FORWARD, BIDIRECTED), st.just({})),
    "implication_tests": st.tuples(st.tuples(FORWARD, BIDIRECTED, DATA),
                                   st.fixed_dictionaries({}, optional={"test": st.sampled_from(["g", "chi2", "fisher_z", "auto"]),
                                                                       "alpha": st.floats(0, 1), "weights": alphabet})),
    "adjustment_sets": st.tuples(st.tuples(FORWARD, BIDIRECTED, NAMES, NAMES, NAMES),
                                 st.fixed_dictionaries({}, optional={"minimal": st.booleans(), "unobserved": NAMES,
                                                                     "limit": st.integers(1, 5)})),
    "is_adjustment_set": st.tuples(st.tuples(FORWARD, BIDIRECTED, NAMES, NAMES, NAMES, NAMES), st.just({})),
    "optimal_adjustment_set": st.tuples(st.tuples(FORWARD, BIDIRECTED, NAMES, NAMES, NAMES),
                                        st.fixed_dictionaries({}, optional={"unobserved": NAMES})),
    "instruments": st.tuples(st.tuples(FORWARD, BIDIRECTED, NAMES, NAMES, NAMES),
                             st.fixed_dictionaries({}, optional={"unobserved": NAMES, "limit": st.integers(1, 5)})),
    "gid": st.tuples(st.tuples(FORWARD, BIDIRECTED, NAMES, NAMES, NAMES, st.lists(NAMES, max_size=3)),
                     st.fixed_dictionaries({}, optional={"style": st.sampled_from(["json", "text", "latex"])})),
    "transport": st.tuples(st.tuples(FORWARD, BIDIRECTED, NAMES, NAMES, NAMES,
                                     st.dictionaries(st.sampled_from(["p", "q"]),
                                                     st.fixed_dictionaries({"differs": NAMES, "experiments": st.lists(NAMES, max_size=2)}),
                                                     max_size=2)),
                         st.fixed_dictionaries({}, optional={"target": st.lists(NAMES, max_size=2)})),
}


@st.composite
def calls(draw, name):
    args, kwargs = draw(CALLS[name])
    args, kwargs = list(args), dict(kwargs)
    # Up to two arguments, positional or keyword, replaced by anything at all.
    for _ in range(draw(st.integers(0, 2))):
        if kwargs and draw(st.booleans()):
            kwargs[draw(st.sampled_from(sorted(kwargs)))] = draw(anything)
        else:
            args[draw(st.integers(0, len(args) - 1))] = draw(anything)
    return args, kwargs


def check_call(name, args, kwargs):
    fn = getattr(zeph, name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            fn(*args, **kwargs)
        except SystemError:  # an error left pending, or a result returned with an error set
            raise
        except (Exception, RecursionError):
            pass
        except BaseException as exc:
            if type(exc) is not PANIC:
                raise


def fuzz(name):
    @FUZZ
    @given(calls(name))
    def run(call):
        check_call(name, *call)

    run()


def check_all_functions():
    for name in CALLS:
        fuzz(name)


def test_any_argument_in_child_interpreter():
    run_isolated("import test_functions_fuzz; test_functions_fuzz.check_all_functions()", timeout=900)


# ---------------------------------------------------------------- threads


def outcome(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return "ok", repr(fn(*args, **kwargs))
        except BaseException as exc:
            return type(exc).__name__, str(exc)


def requests():
    rng = random.Random(5)
    front = ([("X", "M"), ("M", "Y")], [("X", "Y")])
    back = [("Z", "X"), ("Z", "Y"), ("X", "Y")]
    data = {"X": [rng.randrange(2) for _ in range(500)], "M": [rng.randrange(3) for _ in range(500)],
            "Y": [rng.randrange(2) for _ in range(500)], "Z": [rng.randrange(2) for _ in range(500)]}
    out = [
        (zeph.estimate, (*front, ["X"], ["Y"], [], data), {"ci": 0.9, "replicates": 300, "seed": 3}),
        (zeph.effect, (back, [], ["X"], ["Y"], [], data), {"treated": 1, "control": 0, "replicates": 300}),
        (zeph.implications, ([("A", "B"), ("B", "C"), ("C", "D"), ("A", "E")], [("B", "E")]), {}),
        (zeph.implication_tests, ([("Z", "X"), ("X", "M"), ("M", "Y")], [], data), {}),
        (zeph.adjustment_sets, (back + [("W", "Z")], [], ["X"], ["Y"], []), {"minimal": False}),
        (zeph.is_adjustment_set, (back, [], ["X"], ["Y"], [], ["Z"]), {}),
        (zeph.optimal_adjustment_set, (back, [], ["X"], ["Y"], []), {}),
        (zeph.instruments, ([("I", "C"), ("y", "C"), ("y", "x")], [], ["y"], ["x"], []), {}),
        (zeph.gid, (*front, ["X"], ["Y"], [], [["M"], []]), {"style": "text"}),
        (zeph.transport, (*front, ["X"], ["Y"], [], {"t": {"differs": ["Y"], "experiments": [[]]}}), {"target": [["M"]]}),
        (zeph.estimate, (*front, ["X"], ["Q"], [], data), {}),  # failures too
        (zeph.adjustment_sets, (back, [], ["X"], ["X"], []), {}),
    ]
    return out


def check_eight_threads():
    calls = requests()
    serial = [outcome(fn, *a, **k) for fn, a, k in calls]
    assert serial[-2][0] == "PanicException" and serial[-1][0] == "ValueError"
    barrier = threading.Barrier(8)
    results = [None] * 8

    def worker(t):
        barrier.wait()
        order = list(range(len(calls))) * 3
        random.Random(t).shuffle(order)
        results[t] = [(i, outcome(calls[i][0], *calls[i][1], **calls[i][2])) for i in order]

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for t in range(8):
        wrong = [i for i, got in results[t] if got != serial[i]]
        assert not wrong, (t, wrong)


def test_eight_threads_give_the_answers_of_serial_calls():
    run_isolated("import test_functions_fuzz; test_functions_fuzz.check_eight_threads()")


def check_loop_leaves_memory_flat():
    import resource

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize()

    calls = requests()
    for fn, a, k in calls:  # warm the caches and pools first
        outcome(fn, *a, **k)
    before = rss()
    for _ in range(60):
        for fn, a, k in calls:
            outcome(fn, *a, **k)
    grown = rss() - before
    assert grown < 8 << 20, grown


def test_loop_leaves_memory_flat():
    run_isolated("import test_functions_fuzz; test_functions_fuzz.check_loop_leaves_memory_flat()")
