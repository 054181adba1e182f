"""zeph as a Python caller meets it: module attributes, hello_world, argument binding and conversion of id,
PanicException, the once-per-process import, and how names are written into the JSON text."""

import collections
import json
import re
import subprocess
import sys
import textwrap

import pytest

import zeph

PARAMS = ("d_edges", "b_edges", "y", "x", "z")
# A request every argument of which is well formed; tables change one argument at a time.
GOOD = dict(d_edges=[("A", "B"), ("B", "C"), ("D", "C")], b_edges=[("D", "B")], y=["A"], x=["B", "C"], z=["D"])


def outcome(*args, **kwargs):
    """The text, or the exception's type and args: comparable between two ways of calling."""
    try:
        return "ok", zeph.id(*args, **kwargs)
    except BaseException as exc:  # PanicException is not an Exception
        return type(exc), exc.args


def run_python(code, **kwargs):
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)], timeout=60, **kwargs)


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    if message is not None:
        assert str(info.value) == message
    return info.value


# ---------------------------------------------------------------- module


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("zeph.__all__[:2]", ["hello_world", "id"]),
        ("type(zeph.__all__)", list),
        ("zeph.__doc__", ""),
        ("zeph.id.__doc__", None),
        ("zeph.hello_world.__doc__", None),
        ("zeph.id.__module__", "zeph"),
        ("zeph.hello_world.__module__", "zeph"),
        ("zeph.id.__name__", "id"),
        ("zeph.hello_world.__name__", "hello_world"),
        ("zeph.id.__self__ is zeph and zeph.hello_world.__self__ is zeph", True),
    ],
)
def test_module_attribute(expr, expected):
    assert eval(expr) == expected


def test_hello_world_writes_to_fd_1_past_sys_stdout():
    # The greeting bypasses sys.stdout and is flushed at its newline, before later raw writes to fd 1.
    proc = run_python(
        """
        import io, os, sys, zeph
        sys.stdout = captured = io.StringIO()
        result = zeph.hello_world()
        os.write(1, b"after\\n")
        assert result is None and captured.getvalue() == "", (result, captured.getvalue())
        """,
        capture_output=True,
    )
    assert (proc.returncode, proc.stdout) == (0, b"Hello, world!\nafter\n"), proc.stderr


def test_hello_world_reports_a_failed_write():
    with open("/dev/full", "wb") as full:
        proc = run_python(
            """
            import sys, zeph
            try:
                zeph.hello_world()
            except BaseException as exc:
                sys.stderr.write(f"\\ncaught {type(exc).__module__}.{type(exc).__qualname__}: {exc}")
            """,
            stdout=full,
            stderr=subprocess.PIPE,
            text=True,
        )
    assert proc.returncode == 0, proc.stderr
    caught = proc.stderr.rpartition("\ncaught ")[2]
    assert caught.startswith("pyo3_runtime.PanicException: failed printing to stdout: "), proc.stderr
    assert "No space left on device" in caught


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_hello_world_takes_no_arguments(args, kwargs):
    raises_exactly(TypeError, None, zeph.hello_world, *args, **kwargs)


def test_second_initialisation_raises_import_error():
    proc = run_python(
        """
        import sys, zeph
        for attempt in range(2):  # the flag is never cleared
            sys.modules.pop("zeph", None)
            try:
                import zeph
            except ImportError as exc:
                assert str(exc) == "PyO3 modules may only be initialized once per interpreter process", exc
            else:
                raise SystemExit("re-import succeeded")
        """,
        capture_output=True,
        text=True,
    )
    assert proc.returncode == 0, proc.stderr


# ---------------------------------------------------------------- binding

MISSING_ALL = "id() missing 5 required positional arguments: 'd_edges', 'b_edges', 'y', 'x', and 'z'"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ([[]] * 6, {}, "id() takes 5 positional arguments but 6 were given"),
        ([[]] * 7, {"z": []}, "id() takes 5 positional arguments but 7 were given"),
        ([[]] * 6, {"w": 1}, "id() takes 5 positional arguments but 6 were given"),
        ([[]], {"d_edges": []}, "id() got multiple values for argument 'd_edges'"),
        ([[]] * 4, {"z": [], "x": []}, "id() got multiple values for argument 'x'"),
        ([[]], {"d_edges": [], "w": 1}, "id() got multiple values for argument 'd_edges'"),
        ([[]], {"w": 1, "d_edges": []}, "id() got an unexpected keyword argument 'w'"),
        ([[]] * 5, {"Z": []}, "id() got an unexpected keyword argument 'Z'"),
        ([], {}, MISSING_ALL),
        ([[]] * 4, {}, "id() missing 1 required positional argument: 'z'"),
        ([[]] * 3, {}, "id() missing 2 required positional arguments: 'x' and 'z'"),
        ([[]], {"y": [], "z": []}, "id() missing 2 required positional arguments: 'b_edges' and 'x'"),
        ([], {"x": [], "z": []}, "id() missing 3 required positional arguments: 'd_edges', 'b_edges', and 'y'"),
        ([[]], {}, "id() missing 4 required positional arguments: 'b_edges', 'y', 'x', and 'z'"),
        # binding fails before any argument is looked at
        (["not a list", 5], {}, "id() missing 3 required positional arguments: 'y', 'x', and 'z'"),
        ([None], {"q": None}, "id() got an unexpected keyword argument 'q'"),
    ],
)
def test_binding_error(args, kwargs, message):
    raises_exactly(TypeError, message, zeph.id, *args, **kwargs)


# ---------------------------------------------------------------- conversion


class Outer:
    class Inner:
        pass


class _QualnameIsInt(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


class _QualnameRaises(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


NoStrName = _QualnameIsInt("NoStrName", (), {})
NameRaises = _QualnameRaises("NameRaises", (), {})
NO_NAME = "<failed to extract type name>"


class Name(str):
    pass


class Pair(tuple):
    pass


class PairLenLies(tuple):
    def __len__(self):
        return 2


NamedPair = collections.namedtuple("NamedPair", "cause effect")


class Seq:
    """A sequence known only by __len__ and __getitem__."""

    def __init__(self, *items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


NOT_SEQ = "object cannot be converted to 'Sequence'"
NOT_TUPLE = "object cannot be converted to 'PyTuple'"
NOT_STR = "object cannot be converted to 'PyString'"
STR_AS_VEC = (ValueError, "Can't extract `str` to `Vec`")

# Values wrong for any of the five arguments.
OUTER = [
    ("AB", *STR_AS_VEC),
    ("", *STR_AS_VEC),
    (Name("AB"), *STR_AS_VEC),
    ({"A"}, TypeError, f"'set' {NOT_SEQ}"),
    (frozenset(), TypeError, f"'frozenset' {NOT_SEQ}"),
    ({"A": "B"}, TypeError, f"'dict' {NOT_SEQ}"),
    (None, TypeError, f"'NoneType' {NOT_SEQ}"),
    (7, TypeError, f"'int' {NOT_SEQ}"),
    ((n for n in "AB"), TypeError, f"'generator' {NOT_SEQ}"),
    (iter([]), TypeError, f"'list_iterator' {NOT_SEQ}"),
    (Outer.Inner(), TypeError, f"'Outer.Inner' {NOT_SEQ}"),
    (NoStrName(), TypeError, f"'{NO_NAME}' {NOT_SEQ}"),
    (NameRaises(), TypeError, f"'{NO_NAME}' {NOT_SEQ}"),
]
# Values wrong for d_edges and b_edges.
EDGES = [
    ([["A", "B"]], TypeError, f"'list' {NOT_TUPLE}"),
    (["AB"], TypeError, f"'str' {NOT_TUPLE}"),
    ([("A", "B"), None], TypeError, f"'NoneType' {NOT_TUPLE}"),
    (b"AB", TypeError, f"'int' {NOT_TUPLE}"),
    ([("A", "B", "C")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ([("A",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ([Pair(("A", "B", "C"))], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([PairLenLies(("A",))], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ([("A", 1)], TypeError, f"'int' {NOT_STR}"),
    ([(1.5, None)], TypeError, f"'float' {NOT_STR}"),
    ([("A", b"B")], TypeError, f"'bytes' {NOT_STR}"),
    ([("A", Outer.Inner())], TypeError, f"'Outer.Inner' {NOT_STR}"),
    ([("A", "\ud800")], UnicodeEncodeError, None),
]
# Values wrong for y, x and z.
NAMES = [
    ([1], TypeError, f"'int' {NOT_STR}"),
    (["A", None], TypeError, f"'NoneType' {NOT_STR}"),
    ([("A",)], TypeError, f"'tuple' {NOT_STR}"),
    ([["A"]], TypeError, f"'list' {NOT_STR}"),
    ([b"A"], TypeError, f"'bytes' {NOT_STR}"),
    (b"A", TypeError, f"'int' {NOT_STR}"),
    (range(2), TypeError, f"'int' {NOT_STR}"),
    ([NoStrName()], TypeError, f"'{NO_NAME}' {NOT_STR}"),
    (["A", "\udc80"], UnicodeEncodeError, None),
]
CONVERSION = (
    [(p, *case) for p in PARAMS for case in OUTER]
    + [(p, *case) for p in PARAMS[:2] for case in EDGES]
    + [(p, *case) for p in PARAMS[2:] for case in NAMES]
)


@pytest.mark.parametrize("param, value, exc_type, message", CONVERSION)
def test_conversion_error(param, value, exc_type, message):
    args = dict(GOOD, **{param: value})
    # Only TypeError carries the argument's name.
    if exc_type is TypeError:
        message = f"argument '{param}': {message}"
    err = raises_exactly(exc_type, message, zeph.id, *args.values())
    if exc_type is UnicodeEncodeError:  # the interpreter's own error, as it was raised
        assert err.reason == "surrogates not allowed" and not str(err).startswith("argument")


@pytest.mark.parametrize(
    "bad, exc_type, message",
    [
        (dict(d_edges=[1], y={"B"}), TypeError, f"argument 'd_edges': 'int' {NOT_TUPLE}"),
        (dict(b_edges="s", x=5), *STR_AS_VEC),
        (dict(y=[None], x="s", z=None), TypeError, f"argument 'y': 'NoneType' {NOT_STR}"),
        (dict(x=[("A", "B")], z=[1]), TypeError, f"argument 'x': 'tuple' {NOT_STR}"),
        # every argument is converted before any name is looked up
        (dict(y=["W"], z=5), TypeError, f"argument 'z': 'int' {NOT_SEQ}"),
    ],
)
def test_first_bad_argument_in_parameter_order_is_named(bad, exc_type, message):
    # Passed by keyword in reverse order: the caller's order of keywords does not matter.
    args = dict(GOOD, **bad)
    raises_exactly(exc_type, message, zeph.id, **{p: args[p] for p in reversed(PARAMS)})


def _raise_in_iter(exc):
    class Failing(list):
        def __iter__(self):
            raise exc

    return Failing(["A"])


def _raise_in_next(exc):
    class Failing(list):
        def __iter__(self):
            yield "A"
            raise exc

    return Failing(["A"])


ROOT = KeyError("root")


def _type_error_with_cause():
    try:
        raise TypeError("not today") from ROOT
    except TypeError as exc:
        return exc


@pytest.mark.parametrize("failing", [_raise_in_iter, _raise_in_next])
@pytest.mark.parametrize(
    "raised, message, cause",
    [
        (_type_error_with_cause(), "argument 'x': not today", ROOT),
        (TypeError("plain"), "argument 'x': plain", None),
        (RuntimeError("stop"), None, None),
        (ValueError("odd"), None, None),
    ],
)
def test_error_from_the_iterator(failing, raised, message, cause):
    with pytest.raises(BaseException) as info:
        zeph.id(*dict(GOOD, x=failing(raised)).values())
    err = info.value
    if message is None:  # passes through untouched
        assert err is raised
    else:
        assert type(err) is TypeError and str(err) == message
        assert err.__cause__ is cause


def _args(**changes):
    return [changes.get(p, GOOD[p]) for p in PARAMS]


ListSub = type("ListSub", (list,), {})
D, B, Y, X, Z = GOOD.values()


@pytest.mark.parametrize(
    "args, kwargs",
    [
        # ways of calling
        ((), GOOD),
        ((D, B), {"z": Z, "x": X, "y": Y}),
        # other sequences
        ([tuple(v) for v in GOOD.values()], {}),
        ([Seq(*v) for v in GOOD.values()], {}),
        ([collections.deque(v) for v in GOOD.values()], {}),
        ([ListSub(v) for v in GOOD.values()], {}),
        # other element types
        (_args(d_edges=[Pair(p) for p in D], b_edges=[NamedPair(*p) for p in B]), {}),
        (_args(d_edges=[tuple(map(Name, p)) for p in D], y=[Name(n) for n in Y], z=[Name(n) for n in Z]), {}),
        # repeats and order carry no meaning in name lists, nor repeated edges
        ([D * 2, B * 3, Y * 2, X[::-1] * 2, Z * 2], {}),
        (_args(b_edges=[p[::-1] for p in B]), {}),
    ],
)
def test_accepted_forms_give_the_same_answer(args, kwargs):
    assert outcome(*args, **kwargs) == outcome(*GOOD.values())


def test_a_call_made_while_the_arguments_are_read_gets_lists_of_its_own():
    # Each thread reuses the storage of its argument lists from call to call; a call made from
    # inside the reading of another (here by an iterator) must neither see nor spoil them.
    front = ([("X", "M"), ("M", "Y")], [("X", "Y")], ["X"], ["Y"], [])
    inner = []

    class Reentrant(list):
        def __iter__(self):
            for i, item in enumerate(list.__iter__(self)):
                inner.append(zeph.id(*front))
                inner.append(zeph.formula(*front))
                yield item

    long_names = [(f"cause number {i} " * 3, f"effect number {i} " * 3) for i in range(40)]
    outer = zeph.id(Reentrant(long_names), [], [long_names[0][0]], [long_names[-1][1]], [])
    plain = zeph.id(long_names, [], [long_names[0][0]], [long_names[-1][1]], [])
    assert outer == plain
    assert inner[0::2] == [zeph.id(*front)] * len(long_names)
    assert inner[1::2] == [zeph.formula(*front)] * len(long_names)
    # Lists of a long graph are not kept, and the next small call is answered as before.
    chain = [(f"V{i}", f"V{i + 1}") for i in range(3000)]
    zeph.id(chain, [], ["V0"], ["V3000"], [])
    assert zeph.id(*front) == inner[0]
    long_name = "W" * 100_000
    zeph.id([(long_name, "Y")], [], [long_name], ["Y"], [])
    assert zeph.id(*front) == inner[0]


def test_empty_sequences_of_any_kind_are_empty():
    base = outcome([("A", "B")], [], ["A"], ["B"], [])
    assert outcome([("A", "B")], (), ["A"], ["B"], range(0)) == base
    assert outcome([("A", "B")], b"", ["A"], ["B"], Seq()) == base


# ---------------------------------------------------------------- PanicException


def _panic():
    try:
        zeph.id([("A", "B")], [], [], ["W"], [])
    except Exception:
        pytest.fail("an internal failure was caught as an Exception")
    except BaseException as exc:
        return exc
    pytest.fail("no internal failure")


def test_panic_exception_type():
    first, second = _panic(), _panic()
    kind = type(first)
    assert f"{kind.__module__}.{kind.__qualname__}" == "pyo3_runtime.PanicException"
    assert kind.__bases__ == (BaseException,)
    assert type(second) is kind  # created once, reused
    assert isinstance(kind.__doc__, str) and kind.__doc__
    assert len(first.args) == 1 and isinstance(first.args[0], str)


def test_panic_message_and_diagnostic():
    proc = run_python(
        """
        import zeph
        try:
            zeph.id([("A", "B")], [("C", "D")], ["D"], ["W"], [])
        except BaseException as exc:
            assert exc.args == ("Variable W not found",), exc.args
        else:
            raise SystemExit("no failure")
        """,
        capture_output=True,
        text=True,
    )
    assert proc.returncode == 0, proc.stderr
    assert "Variable W not found" in proc.stderr  # a diagnostic is written before raising


@pytest.mark.parametrize(
    "d_edges, y, x, exc_name, message",
    [
        ([("A", "B")], [], ["Q\x00R"], "PanicException", "Variable Q\x00R not found"),
        ([("A", "B")], ["B"], ["Größe\u0301 "], "PanicException", "Variable Größe\u0301  not found"),
        ([("A\x00B", "C")], ["A\x00B"], ["A\x00B"], "ValueError",
         "Variable A\x00B cannot be both an outcome and an intervention"),
        ([("A\x00B", "A\x00B")], [], ["A\x00B"], "ValueError", "d_edges contain a directed cycle: A\x00B -> A\x00B"),
    ],
)
def test_messages_carry_the_name_exactly(d_edges, y, x, exc_name, message):
    # Names may hold any character, NUL included; a message must not stop short at one.
    kind, args = outcome(d_edges, [], y, x, [])
    assert (getattr(kind, "__name__", kind), args) == (exc_name, (message,))


# ---------------------------------------------------------------- names in the JSON text

_SHORT = {"0008": "\\b", "0009": "\\t", "000a": "\\n", "000c": "\\f", "000d": "\\r"}


def _canonical_escapes(text):
    # \b and \u0008 are the same JSON; compare texts in one spelling. An escaped backslash is left alone.
    def respell(m):
        return m[0] if m[1] else _SHORT.get(m[2].lower(), "\\u" + m[2].lower())

    return re.sub(r"(\\\\)|\\u([0-9a-fA-F]{4})", respell, text)


def _q(name):
    return json.dumps(name, ensure_ascii=False)


def _p(*names):
    return '{"type": "P", "vars": [' + ", ".join(map(_q, names)) + '], "given": []}'


@pytest.mark.parametrize(
    "cause, effect",
    [
        ("a\\b", "ab"),
        ('"', '""'),
        ("cr\rx", "bs\x08ff\x0c"),
        ("unit\x1f", "del\x7f"),
        ("\u2028", "\u200b\u00a0\u3000"),
        ("😀", ""),
        ("x, y", " "),
        ("\\u0041", "\\n"),
    ],
)
def test_names_are_written_as_json_strings(cause, effect):
    text = _canonical_escapes(zeph.id([(cause, effect)], [], [cause], [effect], []))
    assert text == '{"type": "Quotient", "numer": ' + _p(cause, effect) + ', "denom": ' + _p(cause) + "}"


def test_summed_name_is_escaped_in_sub():
    y = 'q"\\\t, é\u0301\x1b'
    tree = json.loads(zeph.id([("X", y), ("Z", y)], [], ["X"], [y], ["Z"]))
    assert tree["denom"]["exprs"][0]["type"] == "Marginal"
    assert tree["denom"]["exprs"][0]["sub"] == [y]
