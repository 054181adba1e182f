"""The data path of estimate under malformed, hostile and unusual input: every Arrow array or stream
that cannot be read safely is a ValueError naming what is wrong, every valid layout is read, weights
of any size give an answer, and memory follows the data, not the product of the numbers of values."""

import ctypes
import math
import os
import random
import resource
import subprocess
import sys

import pytest

import zeph

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")
pc = pytest.importorskip("pyarrow.compute")

HERE = os.path.dirname(os.path.abspath(__file__))
ONE = ([("X", "Y")], [], ["X"], ["Y"], [])
FRONT_DOOR = ([("X", "M"), ("M", "Y")], [("X", "Y")], ["X"], ["Y"], [])


def outcome(data, query=ONE, **kwargs):
    try:
        return "ok", zeph.estimate(*query, data, **kwargs)
    except BaseException as exc:
        return type(exc).__name__, str(exc)


def buffers(*arrays):
    return [None if a is None else pa.py_buffer(a if isinstance(a, bytes) else a.tobytes()) for a in arrays]


def view(length, buffer=0, offset=0, data=b"abcd"):
    """One 16-byte string view: inline up to 12 bytes, else a prefix, a buffer index and an offset."""
    if length <= 12:
        return np.array([length], np.int32).tobytes() + data[:length].ljust(12, b"\0")
    return np.array([length], np.int32).tobytes() + data[:4] + np.array([buffer, offset], np.int32).tobytes()


def views_array(*views, data=b"x" * 30):
    return pa.Array.from_buffers(pa.string_view(), len(views), [None, pa.py_buffer(b"".join(views)), pa.py_buffer(data)])


def with_x(x):
    return pa.table({"X": x, "Y": [0, 1]})


@pytest.mark.parametrize(
    "x, message",
    [
        (pa.Array.from_buffers(pa.string(), 2, buffers(None, np.array([0, 5, 2], np.int32), b"hello")),
         "column 'X': string offsets decrease at row 1"),
        (pa.Array.from_buffers(pa.large_string(), 2, buffers(None, np.array([0, 5, 2], np.int64), b"hello")),
         "column 'X': string offsets decrease at row 1"),
        (pa.Array.from_buffers(pa.binary(), 2, buffers(None, np.array([3, 1, 4], np.int32), b"hello")),
         "column 'X': string offsets decrease at row 0"),
        (views_array(view(20), view(20, 0, 100)), "column 'X': a string view points past the end of its data buffer at row 1"),
        (views_array(view(20), view(20, 3, 0)),
         "column 'X': a string view points to a data buffer that does not exist at row 1"),
        (views_array(view(20), view(-20)), "column 'X': a string view has a negative length at row 1"),
        (views_array(view(20), view(20, 0, -5)), "column 'X': a string view has a negative offset at row 1"),
        (pa.DictionaryArray.from_buffers(pa.dictionary(pa.int8(), pa.string()), 2, buffers(None, np.array([0, 2], np.int8)),
                                         pa.array(["a", "b"])),
         "column 'X': an Arrow dictionary index is out of range at row 1"),
    ],
)
def test_malformed_arrays_are_refused(x, message):
    assert outcome(with_x(x)) == ("ValueError", message)


def test_valid_odd_layouts_give_the_plain_answer():
    plain = zeph.estimate(*ONE, pa.table({"X": ["a", "b"], "Y": [0, 1]}))
    for x in [pc.cast(pa.array(["a", "b"]), pa.string_view()), pa.array(["a", "b"], pa.binary_view()).cast(pa.string_view()),
              pa.array(["a", "b"]).dictionary_encode(), pa.chunked_array([[], ["a"], [], ["b"]], pa.string())]:
        assert zeph.estimate(*ONE, with_x(x)) == plain, x.type
    empty = zeph.estimate(*ONE, pa.table({"X": pa.array(["", ""], pa.string_view()), "Y": [0, 1]}))
    assert empty == zeph.estimate(*ONE, pa.table({"X": ["", ""], "Y": [0, 1]}))
    long = "a string of more than twelve bytes"
    assert zeph.estimate(*ONE, with_x(pa.array([long, "b"], pa.string_view())))["X"] == [long, long, "b", "b"]
    # No rows at all, in a stream of empty batches.
    reader = pa.RecordBatchReader.from_batches(pa.schema({"X": pa.string(), "Y": pa.int64()}), [])
    assert outcome(reader) == ("ValueError", "data has no rows")


def test_weights_of_any_size():
    data = {"X": [0, 0, 0, 1, 1, 1, 0, 1], "M": [0, 0, 1, 1, 1, 0, 0, 1], "Y": [0, 1, 0, 1, 1, 0, 0, 1]}
    ones = zeph.estimate(*FRONT_DOOR, {**data, "w": [1.0] * 8}, weights="w")
    for w in (1e308, 5e-324, 1.7e308):
        got = zeph.estimate(*FRONT_DOOR, {**data, "w": [w] * 8}, weights="w")
        assert got["probability"] == pytest.approx(ones["probability"], rel=1e-14), w
    mixed = zeph.estimate(*FRONT_DOOR, {**data, "w": [1e308, 1e308, 3e307, 1e308, 1.7e308, 1e308, 1e308, 1e308]}, weights="w")
    assert all(math.isfinite(p) for p in mixed["probability"])
    assert sum(mixed["probability"][:2]) == pytest.approx(1)


def test_numpy_array_is_not_data():
    assert outcome(np.zeros((3, 3)), FRONT_DOOR) == (
        "TypeError", "argument 'data': expected a mapping of column names to sequences or an object with __arrow_c_stream__, got ndarray")


# ---------------------------------------------------------------- hand-built C structs


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                        ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
                        ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
                        ("dictionary", ctypes.POINTER(ArrowSchema)), ("release", SchemaRelease), ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                       ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                       ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
                       ("dictionary", ctypes.POINTER(ArrowArray)), ("release", ArrayRelease), ("private_data", ctypes.c_void_p)]


class ArrowArrayStream(ctypes.Structure):
    pass


GetSchema = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GetNext = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GetError = ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))
StreamRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
ArrowArrayStream._fields_ = [("get_schema", GetSchema), ("get_next", GetNext), ("get_last_error", GetError),
                             ("release", StreamRelease), ("private_data", ctypes.c_void_p)]

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class HandBuilt:
    """A stream of one batch of the columns X (strings "ab", "c", or a dictionary of them) and Y (int64 5, 7),
    built from ctypes structs that a case may break before handing the stream over."""

    def __init__(self, change, dictionary=False):
        self.keep = []
        self.released = []

        def hold(x):
            self.keep.append(x)
            return x

        def schema(fmt, name, children=(), dictionary=None):
            s = ArrowSchema(fmt, name, None, 0, len(children), None, dictionary, hold(SchemaRelease(lambda p: None)), None)
            if children:
                s.children = hold((ctypes.POINTER(ArrowSchema) * len(children))(*[ctypes.pointer(c) for c in children]))
            return hold(s)

        def array(length, bufs, children=(), dictionary=None):
            b = hold((ctypes.c_void_p * max(1, len(bufs)))(*[ctypes.cast(x, ctypes.c_void_p) if x is not None else None for x in bufs]))
            a = ArrowArray(length, 0, 0, len(bufs), len(children), b, None, dictionary, hold(ArrayRelease(lambda p: None)), None)
            if children:
                a.children = hold((ctypes.POINTER(ArrowArray) * len(children))(*[ctypes.pointer(c) for c in children]))
            return hold(a)

        offsets = hold((ctypes.c_int32 * 3)(0, 2, 3))
        chars = hold(ctypes.create_string_buffer(b"abc"))
        ints = hold((ctypes.c_int64 * 2)(5, 7))
        if dictionary:
            self.dict = array(2, [None, offsets, chars])
            indices = hold((ctypes.c_int8 * 2)(1, 0))
            self.x = array(2, [None, indices], dictionary=ctypes.pointer(self.dict))
            x_schema = schema(b"c", b"X", dictionary=ctypes.pointer(schema(b"u", b"")))
        else:
            self.x = array(2, [None, offsets, chars])
            x_schema = schema(b"u", b"X")
        self.y = array(2, [None, ints])
        self.schema = schema(b"+s", b"", [x_schema, schema(b"l", b"Y")])
        self.batch = array(2, [None], [self.x, self.y])
        self.offsets = offsets
        self.handed = 0

        def get_schema(stream, out):
            ctypes.memmove(out, ctypes.addressof(self.schema), ctypes.sizeof(ArrowSchema))
            return 0

        def get_next(stream, out):
            if self.handed == 0:
                ctypes.memmove(out, ctypes.addressof(self.batch), ctypes.sizeof(ArrowArray))
            else:
                out.contents.release = ArrayRelease()
            self.handed += 1
            return 0

        def release(stream):
            self.released.append(True)
            stream.contents.release = StreamRelease()

        self.stream = ArrowArrayStream(hold(GetSchema(get_schema)), hold(GetNext(get_next)), GetError(), hold(StreamRelease(release)), None)
        change(self)

    def __arrow_c_stream__(self, requested_schema=None):
        return _capsule_new(ctypes.addressof(self.stream), b"arrow_array_stream", None)


def _null(kind):
    return ctypes.cast(None, ctypes.POINTER(kind))


@pytest.mark.parametrize(
    "change, dictionary, message",
    [
        (lambda s: None, False, None),
        (lambda s: None, True, None),
        (lambda s: setattr(s.stream, "get_schema", GetSchema()), False,
         "the Arrow stream of data lacks its get_schema or get_next callback"),
        (lambda s: setattr(s.stream, "get_next", GetNext()), False,
         "the Arrow stream of data lacks its get_schema or get_next callback"),
        (lambda s: s.schema.children.__setitem__(1, _null(ArrowSchema)), False,
         "the schema of the Arrow stream of data lacks column 1"),
        (lambda s: s.batch.children.__setitem__(0, _null(ArrowArray)), False,
         "the Arrow stream of data holds a batch without column 'X'"),
        (lambda s: setattr(s.batch, "children", _null(ctypes.POINTER(ArrowArray))), False,
         "the Arrow stream of data holds a batch that does not match its schema"),
        (lambda s: setattr(s.batch, "offset", -1), False,
         "the Arrow stream of data holds a batch that does not match its schema"),
        (lambda s: setattr(s.x, "offset", -1), False, "column 'X': the Arrow array has a negative offset"),
        (lambda s: s.offsets.__setitem__(0, -2), False, "column 'X': string offsets start below 0 at row 0"),
        (lambda s: setattr(s.dict, "offset", -1), True, "column 'X': the Arrow dictionary has a negative offset"),
        (lambda s: setattr(s.dict, "length", -1), True, "column 'X': the Arrow dictionary has a negative length"),
        (lambda s: setattr(s.x, "dictionary", _null(ArrowArray)), True, "column 'X': an Arrow dictionary is missing"),
    ],
)
def test_hand_built_streams(change, dictionary, message):
    stream = HandBuilt(change, dictionary)
    got = outcome(stream)
    if message is None:
        assert got[0] == "ok" and got[1]["X"] == ["ab", "ab", "c", "c"], got
    else:
        assert got == ("ValueError", message)
    assert stream.released == [True]


# ---------------------------------------------------------------- memory follows the data


def check_many_values_in_little_memory():
    # Front door, 20,000 rows, 200 values of X and Y and 3,000 of M: dense tables would need 2^27 cells
    # several times over. Under a 1 GB address space the answer comes in well under a second.
    rng = random.Random(1)
    n = 20_000
    data = {"X": [rng.randrange(200) for _ in range(n)], "M": [rng.randrange(3000) for _ in range(n)],
            "Y": [rng.randrange(200) for _ in range(n)]}
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    limit = size + (1 << 30)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    result = zeph.estimate(*FRONT_DOOR, data)
    assert len(result["probability"]) == 40_000
    # Some M is seen with every X value: the sum of the front door divides by 0 in every row.
    assert all(math.isnan(p) for p in result["probability"])
    # With a tenth of the values of M, every row is defined.
    data["M"] = [m % 30 for m in data["M"]]
    result = zeph.estimate(*FRONT_DOOR, {**data, "X": [x % 20 for x in data["X"]]})
    assert len(result["probability"]) == 4000 and not any(math.isnan(p) for p in result["probability"])


def test_many_values_in_little_memory():
    code = f"import sys; sys.path.insert(0, {HERE!r}); import test_data; test_data.check_many_values_in_little_memory()"
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
