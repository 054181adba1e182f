"""zeph.estimate: the identifying formula evaluated on data. Accuracy against the truth of random
models and against an evaluator written here, the same answer from every kind of input, and every
error."""

import itertools
import json
import math
import random
from collections import Counter

import pytest

import numeric
import zeph

FRONT_DOOR = ([("X", "M"), ("M", "Y")], [("X", "Y")])


def same(a, b):
    """Results equal, NaN equal to NaN."""
    if a.keys() != b.keys():
        return False
    for k in a:
        if k == "probability":
            if len(a[k]) != len(b[k]) or any(
                not (x == y or (math.isnan(x) and math.isnan(y))) for x, y in zip(a[k], b[k])
            ):
                return False
        elif a[k] != b[k]:
            return False
    return True


# ---------------------------------------------------------------- an evaluator of the JSON form


class Empirical:
    """The empirical distribution of rows (dicts of name to value), with weights."""

    def __init__(self, rows, weights=None):
        self.rows = rows
        self.weights = weights or [1.0] * len(rows)
        self.total = sum(self.weights)
        self.values = {n: sorted({r[n] for r, w in zip(rows, self.weights) if w > 0}) for n in rows[0]}
        self._tables = {}

    def prob(self, names, env):
        names = tuple(sorted(set(names)))
        table = self._tables.get(names)
        if table is None:
            table = Counter()
            for r, w in zip(self.rows, self.weights):
                table[tuple(r[n] for n in names)] += w
            self._tables[names] = table
        return table[tuple(env[n] for n in names)] / self.total


def _divide(n, d):
    if math.isnan(n) or math.isnan(d):
        return math.nan
    if d == 0:
        return math.nan if n == 0 else math.copysign(math.inf, n)
    return n / d


def _sub(node):
    return node["sub"]


def evaluate(node, dist, env):
    """The form's value at env: sums over each summed variable's observed values; 0 / 0 is NaN
    and a factor 0 makes a product 0."""
    t = node["type"]
    if t == "P":
        return _divide(dist.prob(node["vars"] + node["given"], env), dist.prob(node["given"], env) if node["given"] else 1.0)
    if t == "Quotient":
        return _divide(evaluate(node["numer"], dist, env), evaluate(node["denom"], dist, env))
    if t == "Product":
        values = [evaluate(e, dist, env) for e in node["exprs"]]
        return 0.0 if 0 in values else math.prod(values)
    names = _sub(node)
    return sum(
        evaluate(node["exp"], dist, {**env, **dict(zip(names, combo))})
        for combo in itertools.product(*(dist.values[n] for n in names))
    )


def free(node):
    t = node["type"]
    if t == "P":
        return set(node["vars"]) | set(node["given"])
    if t == "Quotient":
        return free(node["numer"]) | free(node["denom"])
    if t == "Product":
        return set().union(*(free(e) for e in node["exprs"]))
    return free(node["exp"]) - set(_sub(node))


def plug_in(d, b, y, x, z, dist):
    """The plug-in estimate the slow way: {key values: probability}. The reduced formula of
    zeph.formula, its free variables beyond the query averaged given the interventions and
    conditioning values."""
    tree = json.loads(zeph.formula(d, b, y, x, z))
    keys = list(dict.fromkeys(y + z + x))
    context = list(dict.fromkeys(y + z))
    extra = sorted(free(tree) - set(keys))
    out = {}
    for combo in itertools.product(*(dist.values[k] for k in keys)):
        env = dict(zip(keys, combo))
        seen = dist.prob(context, env)
        if not extra:
            out[combo] = evaluate(tree, dist, env)
            continue
        total = math.nan if seen == 0 else 0.0
        for w in itertools.product(*(dist.values[n] for n in extra)):
            if seen == 0:
                break
            pw = dist.prob(extra + context, {**env, **dict(zip(extra, w))}) / seen
            if pw > 0:
                v = evaluate(tree, dist, {**env, **dict(zip(extra, w))})
                total += 0.0 if v == 0 else pw * v
        out[combo] = total
    return out


def as_table(result, keys):
    return {tuple(result[k][i] for k in keys): p for i, p in enumerate(result["probability"])}


# ---------------------------------------------------------------- accuracy


def random_case(rng):
    """A random identifiable query on 3 to 6 variables with hidden confounders."""
    while True:
        names = [f"V{i}" for i in range(rng.randint(3, 6))]
        order = rng.sample(names, len(names))
        d = [(a, b) for i, a in enumerate(order) for b in order[i + 1:] if rng.random() < 0.45]
        pairs = [(a, b) for i, a in enumerate(names) for b in names[i + 1:]]
        b = rng.sample(pairs, rng.randint(1, 2))
        present = sorted({n for e in d + b for n in e})
        rng.shuffle(present)
        nx, ny, nz = rng.randint(1, 2), rng.randint(1, 2), rng.randint(0, 1)
        x, y, z = present[:nx], present[nx:nx + ny], present[nx + ny:nx + ny + nz]
        if y and zeph.id(d, b, y, x, z) != '{"type": "Hedge"}':
            return d, b, y, x, z


def joint_rows(model):
    return [{n: ov >> i & 1 for i, n in enumerate(model.names)} for ov in range(1 << len(model.names))]


def check_truth(result, model, y, x, z, keys, tol, only=None):
    truth = model.truth(x, y, z)
    for i, p in enumerate(result["probability"]):
        env = {k: result[k][i] for k in keys}
        if only is not None and not only(env):
            continue
        mask = sum(v << model.index[k] for k, v in env.items())
        assert abs(p - truth[mask]) <= tol, (env, p, truth[mask])


@pytest.mark.parametrize("seed", range(40))
def test_exact_distribution_gives_the_truth(seed):
    rng = random.Random(seed)
    d, b, y, x, z = random_case(rng)
    model = numeric.RandomModel(d, b, rng)
    rows = joint_rows(model)
    data = {n: [r[n] for r in rows] for n in model.names}
    data["weight"] = model.joint()
    result = zeph.estimate(d, b, y, x, z, data, weights="weight")
    keys = list(dict.fromkeys(y + z + x))
    assert list(result) == keys + ["probability"]
    assert len(result["probability"]) == 2 ** len(keys)
    check_truth(result, model, y, x, z, keys, 1e-9)


@pytest.mark.parametrize("seed", range(6))
def test_sample_matches_an_independent_evaluator(seed):
    rng = random.Random(1000 + seed)
    d, b, y, x, z = random_case(rng)
    model = numeric.RandomModel(d, b, rng)
    n = 200_000
    sample = rng.choices(range(1 << len(model.names)), weights=model.joint(), k=n)
    data = {name: [ov >> i & 1 for ov in sample] for i, name in enumerate(model.names)}
    result = zeph.estimate(d, b, y, x, z, data)
    keys = list(dict.fromkeys(y + z + x))
    rows = [dict(zip(data, r)) for r in zip(*data.values())]
    want = plug_in(d, b, y, x, z, Empirical(rows))
    got = as_table(result, keys)
    assert got.keys() == want.keys()
    for k in want:
        assert got[k] == pytest.approx(want[k], abs=1e-9, nan_ok=True), k
    # Close to the truth wherever the conditioning cell is large.
    cells = Counter(tuple(r[k] for k in y + z) for r in rows)
    check_truth(result, model, y, x, z, keys, 0.02, only=lambda env: cells[tuple(env[k] for k in y + z)] >= 0.05 * n)


# ---------------------------------------------------------------- every kind of input

# Front-door data with a string treatment, a boolean mediator and an integer outcome, and columns
# the graph does not name.
_RNG = random.Random(7)
_X = [_RNG.choice(["low", "mid", "high"]) for _ in range(3000)]
_M = [(_RNG.random() < {"low": 0.2, "mid": 0.5, "high": 0.8}[x]) for x in _X]
_Y = [int(m) + (_RNG.random() < 0.4) + (x == "high") for x, m in zip(_X, _M)]
DATA = {"X": _X, "M": _M, "Y": _Y, "note": ["unused"] * 3000, "gaps": [None] * 3000}


def _counts():
    c = Counter(zip(_X, _M, _Y))
    keys = list(c)
    return {"X": [k[0] for k in keys], "M": [k[1] for k in keys], "Y": [k[2] for k in keys], "n": [c[k] for k in keys]}


def test_front_door_answer():
    result = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], DATA)
    assert result["X"] == ["high"] * 4 + ["low"] * 4 + ["mid"] * 4
    assert result["Y"] == [0, 1, 2, 3] * 3
    rows = [dict(zip(["X", "M", "Y"], r)) for r in zip(_X, _M, _Y)]
    want = plug_in(*FRONT_DOOR, ["X"], ["Y"], [], Empirical(rows))
    for k, p in as_table(result, ["X", "Y"]).items():
        assert p == pytest.approx(want[k], abs=1e-12)
    for x in ("low", "mid", "high"):
        assert sum(p for (xv, _), p in as_table(result, ["X", "Y"]).items() if xv == x) == pytest.approx(1)


def _inputs():
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    cols = {k: DATA[k] for k in ("X", "M", "Y", "note")}
    table = pa.table(cols)

    class FrameWithoutArrow(pd.DataFrame):
        # What a pandas frame does when pyarrow is missing.
        def __arrow_c_stream__(self, requested_schema=None):
            raise ImportError("pyarrow is required")

    counts = _counts()
    return {
        "dict of tuples": {k: tuple(v) for k, v in DATA.items()},
        "pyarrow": table,
        "pyarrow, many chunks": pa.concat_tables([table.slice(i, 700) for i in range(0, 3000, 700)]),
        "pyarrow, dictionaries": table.set_column(0, "X", pa.array(_X).dictionary_encode()),
        "pyarrow, large strings": table.set_column(0, "X", pa.array(_X, pa.large_string())),
        "record batch reader": pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=1000)),
        # batches made by Python code while the stream is read
        "reader over a generator": pa.RecordBatchReader.from_batches(table.schema, (b for b in table.to_batches(max_chunksize=999))),
        "polars": pl.DataFrame(cols),
        "polars, categorical": pl.DataFrame(cols).with_columns(pl.col("X").cast(pl.Categorical)),
        "pandas": pd.DataFrame(cols),
        "pandas, categorical": pd.DataFrame(cols).astype({"X": "category"}),
        "pandas without pyarrow": FrameWithoutArrow(cols),
        "weighted counts": counts,
        "weighted counts, pyarrow": pa.table(counts),
        "weighted probabilities": {**counts, "n": [c / 3000 for c in counts["n"]]},
    }


def test_every_input_gives_the_same_answer():
    want = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], DATA)
    for name, data in _inputs().items():
        weights = "n" if name.startswith("weighted") else None
        got = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], data, weights=weights)
        assert got.keys() == want.keys(), name
        assert got["X"] == want["X"] and got["Y"] == want["Y"], name
        assert got["probability"] == pytest.approx(want["probability"], abs=1e-12), name


def test_counts_from_dask_distributed():
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    pd = pytest.importorskip("pandas")
    frame = dd.from_pandas(pd.DataFrame({k: DATA[k] for k in ("X", "M", "Y")}), npartitions=4)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster:
        with distributed.Client(cluster):
            counts = frame.groupby(["X", "M", "Y"]).size(split_out=1).compute().rename("n").reset_index()
    got = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], counts, weights="n")
    want = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], DATA)
    assert got["X"] == want["X"]
    assert got["probability"] == pytest.approx(want["probability"], abs=1e-12)


def test_result_feeds_data_frames():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    result = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], DATA)
    assert list(pd.DataFrame(result).columns) == ["X", "Y", "probability"]
    assert pl.DataFrame(result).dtypes == [pl.String, pl.Int64, pl.Float64]


@pytest.mark.parametrize(
    "column, values",
    [
        # one orderable type: sorted
        ([3, 1, 2, 1], [1, 2, 3]),
        (["b", "a", "c"], ["a", "b", "c"]),
        ([True, False, True], [False, True]),
        ([2.5, 0.5, 2.5], [0.5, 2.5]),
        ([2**70, 1, 2**70], [1, 2**70]),
        # mixed types: order of first appearance, equal as Python compares them
        (["b", 1, "a", 1.0], ["b", 1, "a"]),
        ((1, 2), [1, 2]),
    ],
)
def test_values_keep_their_type_and_order(column, values):
    data = {"X": list(column), "Y": [0, 1] * (len(column) // 2) + [0] * (len(column) % 2)}
    result = zeph.estimate([("X", "Y")], [], ["X"], ["Y"], [], data)
    seen = list(dict.fromkeys(result["X"]))
    assert seen == values and [type(v) for v in seen] == [type(v) for v in values]


def test_arrow_types_and_order():
    pa = pytest.importorskip("pyarrow")
    cases = [
        (pa.array([3, -1, 3], pa.int8()), [-1, 3]),
        (pa.array([3, 1, 3], pa.uint64()), [1, 3]),
        (pa.array([2**63 + 5, 1], pa.uint64()), [1, 2**63 + 5]),
        (pa.array([True, False, True]), [False, True]),
        (pa.array([0.5, -0.0, 0.0]), [0.0, 0.5]),
        (pa.array(["é", "b", "a"]), ["a", "b", "é"]),
        (pa.array(["x", "y", "x"], pa.string_view()), ["x", "y"]),
        (pa.array(["a long string over twelve", "b", "a long string over twelve"], pa.string_view()), ["a long string over twelve", "b"]),
        (pa.array([b"z", b"a", b"z"]), [b"a", b"z"]),
        (pa.DictionaryArray.from_arrays(pa.array([1, 1, 0], pa.int8()), pa.array(["q", "p", "unused"])), ["p", "q"]),
        (pa.array([10, 1, 10], pa.int32()).slice(1), [1, 10]),
        # integers beyond the range of the first rows, and a range with gaps
        (pa.array([0] * 5000 + [1000, -7, 3]), [-7, 0, 3, 1000]),
        (pa.array([5, 300, 7] * 2000, pa.int16()), [5, 7, 300]),
        (pa.array([2**40, -(2**40), 0]), [-(2**40), 0, 2**40]),
        (pa.chunked_array([[2, 2], [900, 1]]), [1, 2, 900]),
    ]
    for array, values in cases:
        n = len(array)
        table = pa.table({"X": array, "Y": [0] * n})
        result = zeph.estimate([("X", "Y")], [], ["X"], ["Y"], [], table)
        assert result["X"] == values, array.type
        assert [type(v) for v in result["X"]] == [type(v) for v in values]


def test_zero_weight_values_are_not_observed():
    data = {"X": [0, 1, 2], "Y": [0, 1, 5], "w": [1.0, 2.0, 0.0]}
    result = zeph.estimate([("X", "Y")], [], ["X"], ["Y"], [], data, weights="w")
    assert result == {"X": [0, 0, 1, 1], "Y": [0, 1, 0, 1], "probability": [1.0, 0.0, 0.0, 1.0]}


def test_free_variables_are_weighted_where_the_data_is():
    # R -> X -> Y: the reduced formula is P(Y | X). Averaging the unreduced one over the marginal of R
    # gave the stratum R = 0, X = 1 of a single row half the weight.
    d = [("R", "X"), ("X", "Y")]
    data = {"R": [0, 0, 0, 1, 1, 1], "X": [0, 0, 1, 1, 1, 0], "Y": [0, 1, 0, 0, 1, 0], "n": [39960, 9990, 1, 9990, 39960, 50]}
    assert zeph.formula(d, [], ["X"], ["Y"], [], style="text") == "P(Y | X)"
    result = zeph.estimate(d, [], ["X"], ["Y"], [], data, weights="n")
    assert result["probability"][3] == pytest.approx(39960 / 49951)
    # V0 -> V1 -> V2 -> V3, V1 <-> V3: the formula keeps V0 free; it is averaged given V2.
    d, b = [("V0", "V1"), ("V1", "V2"), ("V2", "V3")], [("V1", "V3")]
    assert free(json.loads(zeph.formula(d, b, ["V2"], ["V3"], []))) == {"V0", "V2", "V3"}
    rng = random.Random(3)
    rows = []
    for _ in range(3000):
        v0 = rng.random() < 0.3
        v1 = rng.random() < (0.8 if v0 else 0.2)
        v2 = rng.random() < (0.9 if v1 else 0.1)
        rows.append({"V0": int(v0), "V1": int(v1), "V2": int(v2), "V3": int(rng.random() < 0.2 + 0.3 * v2 + 0.3 * v1)})
    data = {k: [r[k] for r in rows] for k in ("V0", "V1", "V2", "V3")}
    want = plug_in(d, b, ["V2"], ["V3"], [], Empirical(rows))
    for k, p in as_table(zeph.estimate(d, b, ["V2"], ["V3"], [], data), ["V2", "V3"]).items():
        assert p == pytest.approx(want[k], abs=1e-12)


def test_structural_zeros_are_estimable():
    # E = L or T leaves combinations that never occur; the reduced formula P(D | S) needs none of them.
    d = [("T", "E"), ("S", "L"), ("S", "B"), ("L", "E"), ("B", "D"), ("E", "D")]
    rng = random.Random(0)
    p_d = {(b, e): rng.uniform(0.1, 0.9) for b in (0, 1) for e in (0, 1)}
    rows = {k: [] for k in "TSLBEDw"}
    for t, s, l, b, dv in itertools.product((0, 1), repeat=5):
        w = (0.3 if t else 0.7) * (0.4 if s else 0.6) * ((0.2, 0.7)[s] if l else 1 - (0.2, 0.7)[s])
        w *= ((0.6, 0.1)[s] if b else 1 - (0.6, 0.1)[s]) * (p_d[b, l | t] if dv else 1 - p_d[b, l | t])
        for k, v in zip("TSLBEDw", (t, s, l, b, l | t, dv, w)):
            rows[k].append(v)
    result = zeph.estimate(d, [], ["S"], ["D"], [], rows, weights="w")
    assert not any(math.isnan(p) for p in result["probability"])
    truth = {}
    for s, dv in itertools.product((0, 1), repeat=2):
        num = sum(w for S, D, w in zip(rows["S"], rows["D"], rows["w"]) if S == s and D == dv)
        truth[s, dv] = num / sum(w for S, w in zip(rows["S"], rows["w"]) if S == s)
    assert as_table(result, ["S", "D"]) == pytest.approx(truth, abs=1e-12)


def test_many_parents_need_only_the_columns_of_the_formula():
    d = [(f"P{i}", "X") for i in range(27)] + [("X", "Y")]
    rng = random.Random(4)
    data = {f"P{i}": [rng.randrange(2) for _ in range(1000)] for i in range(27)}
    data["X"] = [rng.randrange(2) for _ in range(1000)]
    data["Y"] = [(x + (rng.random() < 0.2)) % 2 for x in data["X"]]
    result = zeph.estimate(d, [], ["X"], ["Y"], [], data)
    counts = Counter(zip(data["X"], data["Y"]))
    assert as_table(result, ["X", "Y"]) == pytest.approx(
        {(x, y): counts[x, y] / (counts[x, 0] + counts[x, 1]) for x, y in counts}, abs=1e-12)


# ---------------------------------------------------------------- positivity


def test_positivity_hole_gives_nan_only_in_its_rows():
    # X = 1 is never seen with M = 0: the front-door sum divides by P(M = 0, X = 1) = 0 for every
    # treatment value under which M = 0 occurs, and for none other.
    data = {"X": [0, 0, 1, 1, 2, 2], "M": [0, 1, 1, 1, 0, 1], "Y": [0, 1, 1, 0, 1, 0]}
    result = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], data)
    p = result["probability"]
    assert [math.isnan(v) for v in p] == [True, True, False, False, True, True]
    assert p[2:4] == [0.5, 0.5]
    conditional = zeph.estimate([("Z", "X"), ("X", "Y"), ("Z", "Y")], [], ["X"], ["Y"], ["Z"], {"X": [0, 1, 1], "Z": [0, 0, 1], "Y": [0, 1, 1]})
    # X = 0 never occurs with Z = 1.
    assert [math.isnan(v) for v in conditional["probability"]] == [False, False, True, True, False, False, False, False]


# ---------------------------------------------------------------- errors


def _outcome(fn, *args, **kwargs):
    try:
        return "ok", fn(*args, **kwargs)
    except BaseException as exc:
        return type(exc).__name__, str(exc)


@pytest.mark.parametrize(
    "query",
    [
        ([("A", "B")], [], ["A"], ["A"], []),
        ([("A", "B"), ("B", "A")], [], ["A"], ["B"], []),
        ([("A", "B")], [], ["A"], ["C"], []),
        ([("A", "B")], [("A", "B")], ["A"], ["B"], []),
        ([("A", 1)], [], ["A"], ["B"], []),
        ("AB", [], ["A"], ["B"], []),
        ([("A", "B")], [], "A", ["B"], []),
    ],
)
def test_query_errors_come_first_as_id_raises_them(query):
    kind, message = _outcome(zeph.estimate, *query, data=None, weights=3)
    id_kind, id_message = _outcome(zeph.id, *query)
    if id_kind == "ok":  # not identifiable: id answers with a Hedge, estimate refuses
        assert id_message == '{"type": "Hedge"}'
        assert (kind, message) == ("ValueError", "P(B | do(A)) is not identifiable from the observed distribution in this graph; zeph.hedge gives the witness")
    else:
        assert (kind, message) == (id_kind, id_message.replace("id()", "estimate()"))


def test_binding_names_estimate():
    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], []) == ("TypeError", "estimate() missing 1 required positional argument: 'data'")
    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], {}, "w")[1] == "estimate() takes 6 positional arguments but 7 were given"
    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], {}, wait=1)[1] == "estimate() got an unexpected keyword argument 'wait'"


GOOD = {"X": [0, 1, 0, 1], "M": [0, 1, 1, 0], "Y": [1, 1, 0, 0]}


@pytest.mark.parametrize(
    "data, weights, kind, message",
    [
        ({"X": [0], "Y": [0]}, None, "ValueError", "data has no column for 'M', which the formula or the result needs"),
        ({"M": [0]}, None, "ValueError", "data has no column for 'X', 'Y', which the formula or the result need"),
        (GOOD, "w", "ValueError", "data has no column for 'w', the weights column"),
        ({**GOOD, "Y": [1, 1, 0]}, None, "ValueError", "columns have different lengths: 'X' has 4 rows, 'Y' has 3"),
        ({**GOOD, "M": [0, 1, None, 0]}, None, "ValueError", "column 'M' has a missing value (None) at row 2"),
        ({**GOOD, "Y": [1.0, math.nan, 0.0, 0.0]}, None, "ValueError", "column 'Y' has a missing value (nan) at row 1"),
        ({**GOOD, "w": [1, -2, 1, 1]}, "w", "ValueError", "weights column 'w' holds -2 at row 1: weights must be finite and non-negative"),
        ({**GOOD, "w": [1, 1, math.inf, 1]}, "w", "ValueError", "weights column 'w' holds inf at row 2: weights must be finite and non-negative"),
        ({**GOOD, "w": [math.nan, 1, 1, 1]}, "w", "ValueError", "weights column 'w' holds NaN at row 0: weights must be finite and non-negative"),
        ({**GOOD, "w": [1, None, 1, 1]}, "w", "ValueError", "column 'w' has a missing value (None) at row 1"),
        ({**GOOD, "w": [1, "a", 1, 1]}, "w", "ValueError", "weights column 'w' holds 'a' at row 1: weights must be numbers"),
        ({**GOOD, "w": [0, 0, 0, 0]}, "w", "ValueError", "data has no rows: every weight is 0"),
        ({"X": [], "M": [], "Y": []}, None, "ValueError", "data has no rows"),
        ({"X": list(range(4000)), "M": [0] * 4000, "Y": list(range(4000))}, None, "ValueError",
         "the result would have 16000000 rows (4000 (X) x 4000 (Y) observed values), more than the limit of 10,000,000"),
        ({**GOOD, "M": [0, [1], 0, 1]}, None, "TypeError", "column 'M' holds an unhashable value at row 1: [1]"),
        ({**GOOD, "M": "abcd"}, None, "TypeError", "data['M'] must be a sequence of values, not str"),
        ({**GOOD, "M": 5}, None, "TypeError", "data['M'] must be a sequence of values, not int"),
        ([1, 2], None, "TypeError", "argument 'data': expected a mapping of column names to sequences or an object with __arrow_c_stream__, got list"),
        (GOOD, 3, "TypeError", "argument 'weights': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_data_errors(data, weights, kind, message):
    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], data, weights=weights) == (kind, message)


def test_probability_is_not_a_query_name():
    assert _outcome(zeph.estimate, [("probability", "Y")], [], ["probability"], ["Y"], [], GOOD) == (
        "ValueError", "a query variable is named 'probability', the result's key for the probabilities; rename it")


def test_arrow_errors():
    pa = pytest.importorskip("pyarrow")
    chunked = pa.chunked_array([[0, 1, 0], [1, None]])
    table = pa.table({"X": chunked, "M": [0, 1, 1, 0, 0], "Y": [1, 1, 0, 0, 1]})
    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], table) == ("ValueError", "column 'X' has a missing value (null) at row 4")
    table = pa.table({"X": [0, 1], "M": [0.0, math.nan], "Y": [1, 1]})
    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], table) == ("ValueError", "column 'M' has a missing value (NaN) at row 1")
    table = pa.table({"X": [0, 1], "M": pa.array([1, 2], pa.timestamp("s")), "Y": [1, 1]})
    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], table)[1].startswith("column 'M' has the Arrow type of format 'tss:'")
    table = pa.table({"X": [0, 1], "Y": [1, 1]})
    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], table) == ("ValueError", "data has no column for 'M', which the formula or the result needs")
    table = pa.table({"X": [0, 1], "M": [0, 1], "Y": [1, 1], "w": [1.0, None]})
    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], table, weights="w") == ("ValueError", "column 'w' has a missing value (null) at row 1")

    def failing():
        yield pa.record_batch({"X": [0], "M": [0], "Y": [0]})
        raise RuntimeError("producer failed")

    reader = pa.RecordBatchReader.from_batches(pa.schema({"X": pa.int64(), "M": pa.int64(), "Y": pa.int64()}), failing())
    kind, message = _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], reader)
    assert kind == "ValueError" and message.startswith("reading the Arrow stream of data failed:") and "producer failed" in message

    class Broken:
        def __arrow_c_stream__(self, requested_schema=None):
            return "not a capsule"

    assert _outcome(zeph.estimate, *FRONT_DOOR, ["X"], ["Y"], [], Broken()) == (
        "TypeError", "argument 'data': __arrow_c_stream__() did not return an 'arrow_array_stream' capsule")


# ---------------------------------------------------------------- any data


from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

_VALUES = st.one_of(
    st.integers(-3, 3), st.integers(), st.booleans(), st.sampled_from(["a", "b", "é"]), st.floats(),
    st.none(), st.just([1]), st.binary(max_size=2), st.sampled_from([1.0, 2.5, -0.0]),
)


@settings(max_examples=300, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(
    st.dictionaries(st.sampled_from(["X", "M", "Y", "w", "other"]), st.lists(_VALUES, max_size=6), max_size=5),
    st.sampled_from([None, "w", "X"]),
)
def test_any_data_gives_a_result_or_a_clear_error(data, weights):
    try:
        result = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], data, weights=weights)
    except (ValueError, TypeError) as exc:
        assert str(exc)
        return
    assert list(result) == ["X", "Y", "probability"]
    assert len({len(v) for v in result.values()}) == 1
    assert all(0 <= p <= 1 + 1e-12 or math.isnan(p) for p in result["probability"])
