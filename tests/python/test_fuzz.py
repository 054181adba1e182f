"""Whatever a caller passes to zeph.id, it answers with JSON text or raises a Python exception; it never
crashes or hangs the interpreter. Each property runs in a child interpreter, so that a crash is reported
as a failing test instead of ending the run."""

import json
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zeph

HERE = os.path.dirname(os.path.abspath(__file__))
PARAMS = ("d_edges", "b_edges", "y", "x", "z")
FUZZ = settings(max_examples=400, deadline=None, database=None, suppress_health_check=list(HealthCheck))


def _panic_type():
    try:
        zeph.id([], [], [], ["W"], [])
    except Exception:
        return None
    except BaseException as exc:
        return type(exc)


PANIC = _panic_type()


def check_call(args):
    """One call: JSON text or an ordinary exception; an unprefixed TypeError or a SystemError is a fault."""
    try:
        result = zeph.id(*args)
    except SystemError:  # an error left pending, or a result returned with an error set
        raise
    except Exception as exc:
        if type(exc) is TypeError:
            assert str(exc).startswith(tuple(f"argument '{p}': " for p in PARAMS)), exc
        return exc
    except BaseException as exc:
        if type(exc) is not PANIC:
            raise
        return exc
    assert type(result) is str
    json.loads(result)
    return result


def outcome(args):
    try:
        return "ok", zeph.id(*args)
    except BaseException as exc:
        return type(exc), exc.args


# ---------------------------------------------------------------- objects that raise or lie

LEN_MODES = ["honest", "maxsize", "huge", "overflow", "negative", "not int", "TypeError", "RuntimeError", "clears"]


def _length(self):
    mode = self.len_mode
    if mode in ("TypeError", "RuntimeError"):
        raise (TypeError if mode == "TypeError" else RuntimeError)("no length")
    if mode == "clears":
        self.items.clear()
        return 0
    lies = {"maxsize": sys.maxsize, "huge": 10**12, "overflow": 2**100, "negative": -1, "not int": "2"}
    return lies.get(mode, list.__len__(self.items))  # list.__len__: LenHint's items are itself


class LenHint(list):
    """A real list whose __len__ lies or fails; its iteration is honest."""

    def __init__(self, items, len_mode):
        super().__init__(items)
        self.items, self.len_mode = self, len_mode

    __len__ = _length

    def __repr__(self):
        return f"LenHint({list.__repr__(self)}, {self.len_mode!r})"


class LyingSeq:
    """Iterated through __getitem__, which may fail or hand out extra junk before it stops."""

    def __init__(self, items, len_mode, item_mode):
        self.items, self.len_mode, self.item_mode = list(items), len_mode, item_mode

    __len__ = _length

    def __getitem__(self, i):
        n = len(self.items)
        if self.item_mode == "raises" and i == n // 2:
            raise RuntimeError("bad index")
        if self.item_mode == "TypeError" and i == n // 2:
            raise TypeError("bad index")
        if self.item_mode == "stops" and i == n // 2:
            raise StopIteration
        if self.item_mode == "junk" and n <= i < n + 3:
            return [None, 1.5, {"A"}][i - n]
        return self.items[i]

    def __repr__(self):
        return f"{type(self).__name__}({self.items!r}, {self.len_mode!r}, {self.item_mode!r})"


class LyingIter(LyingSeq):
    """Its own __iter__, which may fail, return a non-iterator, fail midway or change the list it reads."""

    def __iter__(self):
        mode = self.item_mode
        if mode == "raises":
            raise RuntimeError("no iterator")
        if mode == "TypeError":
            raise TypeError("no iterator") from KeyError("why")
        if mode == "not an iterator":
            return 5
        return self._walk()

    def _walk(self):
        for n, item in enumerate(self.items):  # a list iterator sees the list change under it
            if self.item_mode == "grows" and n < 4:
                self.items.append(item)
            elif self.item_mode == "shrinks":
                del self.items[n:]
            elif self.item_mode == "junk" and n == 1:
                raise ValueError("midway")
            yield item


ITEM_MODES = ["honest", "raises", "TypeError", "stops", "junk", "not an iterator", "grows", "shrinks"]


class Name(str):
    pass


class Pair(tuple):
    pass


alphabet = st.sampled_from(["A", "B", "C", "D", "E"])
text_name = st.text(max_size=4)
names = st.one_of(alphabet, alphabet, text_name, st.builds(Name, text_name))
pairs = st.one_of(
    st.tuples(names, names),
    st.builds(Pair, st.tuples(names, names)),
    st.lists(names, max_size=3).map(tuple),
)
leaves = st.one_of(
    names,
    pairs,
    st.none(),
    st.integers(),
    st.floats(),
    st.binary(max_size=4),
    st.sets(alphabet),
    st.dictionaries(alphabet, alphabet, max_size=2),
    st.just(object()),
    st.just(type),
)


def _lying(inner):
    items = st.lists(inner, max_size=4)
    lens, modes = st.sampled_from(LEN_MODES), st.sampled_from(ITEM_MODES)
    return st.one_of(
        st.builds(LenHint, items, lens),
        st.builds(LyingSeq, items, lens, modes),
        st.builds(LyingIter, items, lens, modes),
    )


anything = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(alphabet, inner, max_size=2),
        _lying(inner),
    ),
    max_leaves=10,
)
forward = st.tuples(alphabet, alphabet).filter(lambda p: p[0] < p[1])  # acyclic: edges follow A < B < ...
well_formed = st.tuples(
    st.lists(forward, min_size=1, max_size=6),
    st.lists(st.tuples(alphabet, alphabet), max_size=3),
    *[st.lists(alphabet, max_size=2)] * 3,
)


@st.composite
def requests(draw):
    """A well-formed request with up to two of its arguments replaced by anything at all."""
    args = list(draw(well_formed))
    for i in draw(st.sets(st.integers(0, 4), max_size=2)):
        args[i] = draw(st.one_of(anything, st.lists(pairs, max_size=4), st.lists(names, max_size=3)))
    return args


@FUZZ
@given(requests())
def check_any_argument(args):
    check_call(args)


@FUZZ
@given(
    st.lists(st.tuples(alphabet, alphabet), min_size=1, max_size=5),
    st.lists(st.tuples(alphabet, alphabet), max_size=3),
    st.lists(alphabet, max_size=2),
    st.lists(alphabet, min_size=1, max_size=2),
    st.lists(alphabet, max_size=2),
    st.sampled_from(range(5)),
    st.sampled_from(LEN_MODES[1:-1]),
)
def check_length_is_only_a_hint(d_edges, b_edges, y, x, z, which, len_mode):
    # The reported length sizes a buffer at most: a lying or failing __len__ changes nothing.
    args = [d_edges, b_edges, y, x, z]
    honest = outcome(args)
    args[which] = LenHint(args[which], len_mode)
    assert outcome(args) == honest


@FUZZ
@given(st.lists(st.text(), min_size=2, max_size=2, unique=True))
def check_names_round_trip(pair):
    cause, effect = pair
    tree = json.loads(zeph.id([(cause, effect)], [], [cause], [effect], []))
    assert tree["numer"]["vars"] == [cause, effect] and tree["denom"]["vars"] == [cause]


def check_long_inputs():
    n = 200_000
    bad_last = [("A", "B")] * n + [("A", 1)]
    err = check_call((bad_last, [], [], ["A"], []))
    assert str(err) == "argument 'd_edges': 'int' object cannot be converted to 'PyString'"
    chain = [(f"v{i}", f"v{i + 1}") for i in range(n)]
    assert type(check_call((chain, chain[::-1][:1000], ["v0"], ["missing"], []))) is PANIC
    assert outcome(([("A", "B")], [], ["A"] * n, ["B"] * n, [])) == outcome(([("A", "B")], [], ["A"], ["B"], []))
    star = [(f"p{i}", "Y") for i in range(300)]
    check_call((star, [], ["p0"], ["Y"], []))
    long_name = "N" * 1_000_000
    result = check_call(([(long_name, "Y")], [], [long_name], ["Y"], []))
    assert not isinstance(result, str) or long_name in json.loads(result)["denom"]["vars"]


def run_isolated(code, timeout=300):
    """Run code in a child interpreter; a crash, a hang or a failure there fails the calling test."""
    try:
        proc = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", f"import sys; sys.path.insert(0, {HERE!r}); {code}"],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"{code} hung for {timeout} s\n{exc.stderr or ''}")
    crashed = proc.returncode < 0 or "Fatal Python error" in proc.stderr
    assert not crashed, f"{code} crashed the interpreter (exit {proc.returncode})\n{proc.stderr[-5000:]}"
    assert proc.returncode == 0, proc.stderr[-5000:]


@pytest.mark.parametrize(
    "check", ["check_any_argument", "check_length_is_only_a_hint", "check_long_inputs", "check_names_round_trip"]
)
def test_property_in_child_interpreter(check):
    run_isolated(f"import test_fuzz; test_fuzz.{check}()")
