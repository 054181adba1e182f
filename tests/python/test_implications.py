"""zeph.implications against a brute-force search over all subsets, and zeph.implication_tests against
scipy, on random graphs with hidden common causes and on data sampled from their models."""

import itertools
import math
import random

import pytest

import zeph


def d_separated(d_edges, b_edges, a, b, given):
    """a and b d-separated given `given` in the DAG with one explicit hidden parent per bidirected edge:
    disconnected in the moral graph of the ancestral set, once `given` is removed."""
    parents = {}
    for u, v in d_edges:
        parents.setdefault(v, set()).add(u)
    for k, (u, v) in enumerate(b_edges):
        if u != v:
            parents.setdefault(u, set()).add(("hidden", k))
            parents.setdefault(v, set()).add(("hidden", k))
    keep, stack = set(), [a, b, *given]
    while stack:
        n = stack.pop()
        if n not in keep:
            keep.add(n)
            stack.extend(parents.get(n, ()))
    neighbours = {n: set() for n in keep}
    for n in keep:
        ps = parents.get(n, set())
        for p in ps:
            neighbours[n].add(p)
            neighbours[p].add(n)
        for p, q in itertools.combinations(ps, 2):
            neighbours[p].add(q)
            neighbours[q].add(p)
    seen, stack = {a}, [a]
    while stack:
        for m in neighbours[stack.pop()]:
            if m not in seen and m not in given:
                seen.add(m)
                stack.append(m)
    return b not in seen


def random_graph(rng, n):
    names = [f"V{i}" for i in range(n)]
    order = rng.sample(names, n)
    d = [(u, v) for i, u in enumerate(order) for v in order[i + 1:] if rng.random() < 0.3]
    pairs = [(u, v) for i, u in enumerate(names) for v in names[i + 1:]]
    b = rng.sample(pairs, rng.randint(0, min(4, len(pairs))))
    used = {x for e in d + b for x in e}
    b += [(v, v) for v in names if v not in used]  # every variable takes part
    return d, b, names


def first_seen(d, b):
    order = []
    for u, v in list(d) + list(b):
        for x in (u, v):
            if x not in order:
                order.append(x)
    return order


@pytest.mark.parametrize("seed", range(60))
def test_implications_are_complete_sound_and_minimal(seed):
    rng = random.Random(seed)
    d, b, names = random_graph(rng, rng.randint(2, 8))
    got = zeph.implications(d, b)
    order = first_seen(d, b)
    adjacent = {frozenset(e) for e in d + b}
    listed = {}
    for a, c, given in got:
        assert isinstance(given, tuple) and list(given) == sorted(given, key=order.index)
        assert d_separated(d, b, a, c, set(given)), (a, c, given)
        for g in given:
            assert not d_separated(d, b, a, c, set(given) - {g}), (a, c, given, g)
        listed[frozenset((a, c))] = (a, c)
    assert [(order.index(a), order.index(c)) for a, c, _ in got] == sorted((order.index(a), order.index(c)) for a, c, _ in got)
    for u, v in itertools.combinations(names, 2):
        if frozenset((u, v)) in adjacent:
            assert frozenset((u, v)) not in listed
            continue
        others = [x for x in names if x not in (u, v)]
        separable = any(d_separated(d, b, u, v, set(s)) for k in range(len(others) + 1)
                        for s in itertools.combinations(others, k))
        assert (frozenset((u, v)) in listed) == separable, (u, v)


def test_orientation_and_textbook_cases():
    assert zeph.implications([("C", "B"), ("A", "C")], []) == [("A", "B", ("C",))]
    # Verma's graph: V1 and V4 are joined by an inducing path; only V1 _||_ V3 | V2 is listed.
    assert zeph.implications([("V1", "V2"), ("V2", "V3"), ("V3", "V4")], [("V2", "V4")]) == [("V1", "V3", ("V2",))]
    # M-bias: the collider stays out of every set.
    assert zeph.implications([("A", "M"), ("B", "M"), ("A", "X"), ("B", "Y"), ("X", "Y")], []) == [
        ("A", "B", ()), ("A", "Y", ("X",)), ("M", "X", ("A",)), ("M", "Y", ("B", "X")), ("B", "X", ())]
    assert zeph.implications([("A", "B")], []) == [] and zeph.implications([], []) == []
    assert zeph.implications([], [("A", "A")]) == []


def test_graph_errors_are_ids():
    def outcome(fn, *args):
        try:
            return "ok", fn(*args)
        except BaseException as exc:
            return type(exc).__name__, str(exc)

    for d, b in [("AB", []), ([("A", "B"), ("B", "A")], []), ([("A", 1)], []), ([("A", "B", "C")], []), ([], ["AB"])]:
        kind, text = outcome(zeph.implications, d, b)
        id_kind, id_text = outcome(zeph.id, d, b, [], [], [])
        assert (kind, text) == (id_kind, id_text.replace("id()", "implications()")), (d, b)
    assert outcome(zeph.implications, [])[1] == "implications() missing 1 required positional argument: 'b_edges'"


# ---------------------------------------------------------------- implication_tests

np = pytest.importorskip("numpy")
scipy_stats = pytest.importorskip("scipy.stats")


def scipy_discrete(rows, weights, a, b, given, lambda_):
    """The per-stratum sums the slow way: scipy's contingency test on each stratum's table of the
    values seen in it, statistics and degrees of freedom added up."""
    strata = {}
    for r, w in zip(rows, weights):
        if w > 0:
            strata.setdefault(tuple(r[g] for g in given), []).append((r[a], r[b], w))
    statistic = dof = 0.0
    for cells in strata.values():
        av = sorted({x for x, _, _ in cells}, key=repr)
        bv = sorted({y for _, y, _ in cells}, key=repr)
        if len(av) < 2 or len(bv) < 2:
            continue
        table = np.zeros((len(av), len(bv)))
        for x, y, w in cells:
            table[av.index(x), bv.index(y)] += w
        s, _, d, _ = scipy_stats.chi2_contingency(table, correction=False, lambda_=lambda_)
        statistic += s
        dof += d
    return statistic, dof, (scipy_stats.chi2.sf(statistic, dof) if dof else 1.0)


def sample_model(d, b, n, seed, cards=None):
    """Rows from a random discrete model of the graph: each bidirected edge an explicit hidden cause."""
    rng = np.random.default_rng(seed)
    names = first_seen(d, b)
    cards = cards or {v: int(rng.integers(2, 4)) for v in names}
    hidden = [("hidden", k) for k, (u, v) in enumerate(b) if u != v]
    parents = {v: [u for u, w in d if w == v] + [h for h in hidden if v in b[h[1]]] for v in names}
    cols = {h: rng.integers(0, 2, n) for h in hidden}
    card = {**cards, **{h: 2 for h in hidden}}
    done = set(hidden)
    while len(done) < len(names) + len(hidden):
        for v in names:
            if v in done or any(p not in done for p in parents[v]):
                continue
            config = np.zeros(n, np.int64)
            for p in parents[v]:
                config = config * card[p] + cols[p]
            table = rng.dirichlet(np.ones(card[v]) * 0.5, int(np.prod([card[p] for p in parents[v]])) or 1)
            cum = np.cumsum(table, axis=1)[config]
            cols[v] = (rng.random(n)[:, None] > cum[:, :-1]).sum(axis=1)
            done.add(v)
    return {v: cols[v].tolist() for v in names}


@pytest.mark.parametrize("seed", range(8))
def test_statistics_match_scipy(seed):
    rng = random.Random(seed)
    d, b, names = random_graph(rng, 6)
    data = sample_model(d, b, 400, seed)
    n = len(data[names[0]])
    # A weighted table with some zero weights, and values of a or b missing from some strata.
    weights = [float(rng.choice([0, 1, 2, 3.5])) for _ in range(n)]
    rows = [{k: data[k][i] for k in data} for i in range(n)]
    for test, lambda_ in (("g", "log-likelihood"), ("chi2", "pearson")):
        for w in (None, weights):
            result = zeph.implication_tests(d, b, {**data, "w": weights} if w else data, weights="w" if w else None, test=test)
            assert result["test"] == [test] * len(result["a"])
            for i, (a, c, given) in enumerate(zip(result["a"], result["b"], result["given"])):
                s, dof, p = scipy_discrete(rows, w or [1.0] * n, a, c, given, lambda_)
                assert result["dof"][i] == dof
                assert result["statistic"][i] == pytest.approx(s, rel=1e-9, abs=1e-9)
                assert result["p_value"][i] == pytest.approx(p, rel=1e-9, abs=1e-300)


def test_holm_and_frame():
    pd = pytest.importorskip("pandas")
    d = [("A", "B"), ("B", "C"), ("C", "D")]
    data = sample_model(d, [], 3000, 1)
    result = zeph.implication_tests(d, [], data)
    frame = pd.DataFrame(result)
    assert list(frame.columns) == ["a", "b", "given", "test", "statistic", "dof", "p_value", "p_holm", "rejected"]
    p = np.array(result["p_value"])
    order = np.argsort(p, kind="stable")
    m = len(p)
    want = np.maximum.accumulate(np.minimum(1, (m - np.arange(m)) * p[order]))
    got = np.array(result["p_holm"])[order]
    assert np.allclose(got, want, rtol=1e-15)
    assert result["rejected"] == [q < 0.05 for q in result["p_holm"]]
    assert zeph.implication_tests([("A", "B")], [], None) == {k: [] for k in frame.columns}


def test_true_graph_rejects_about_alpha_and_a_missing_edge_is_found():
    rng = random.Random(11)
    rejected = total = 0
    for seed in range(40):
        d, b, _ = random_graph(rng, 6)
        data = sample_model(d, b, 2000, seed)
        result = zeph.implication_tests(d, b, data, test="g")
        rejected += sum(p < 0.05 for p in result["p_value"])
        total += len(result["p_value"])
    assert total > 100 and 0.02 <= rejected / total <= 0.09, (rejected, total)
    # The model has X -> Y; the graph drawn without it implies X _||_ Y | Z, which the data refutes.
    d = [("Z", "X"), ("Z", "Y"), ("X", "Y")]
    data = sample_model(d, [], 3000, 5, cards={"Z": 2, "X": 2, "Y": 2})
    result = zeph.implication_tests([("Z", "X"), ("Z", "Y")], [], data)
    assert (result["a"], result["b"], result["given"]) == (["X"], ["Y"], [("Z",)])
    assert result["rejected"] == [True]


def test_fisher_z_on_a_linear_model():
    rng = np.random.default_rng(3)
    n = 5000
    u = rng.normal(size=n)
    x = rng.normal(size=n) + u
    m = 0.8 * x + rng.normal(size=n)
    # The front door implies nothing; the chain X -> M -> Y implies X _||_ Y | M.
    assert zeph.implication_tests([("X", "M"), ("M", "Y")], [("X", "Y")], {"X": x.tolist(), "M": m.tolist(), "Y": m.tolist()})["a"] == []
    d = [("X", "M"), ("M", "Y")]
    y = 0.5 * m + rng.normal(size=n)
    res = zeph.implication_tests(d, [], {"X": x.tolist(), "M": m.tolist(), "Y": y.tolist()})
    assert res["test"] == ["fisher_z"] and res["dof"] == [n - 1 - 3]
    precision = np.linalg.inv(np.corrcoef([x, y, m]))
    partial = -precision[0, 1] / np.sqrt(precision[0, 0] * precision[1, 1])
    z = np.arctanh(partial) * np.sqrt(n - 1 - 3)
    assert res["statistic"][0] == pytest.approx(z, rel=1e-9)
    assert res["p_value"][0] == pytest.approx(2 * scipy_stats.norm.sf(abs(z)), rel=1e-9)
    # Weighted: whole weights give the answer of the repeated rows.
    w = rng.integers(0, 3, n)
    rep = np.repeat(np.arange(n), w)
    weighted = zeph.implication_tests(d, [], {"X": x.tolist(), "M": m.tolist(), "Y": y.tolist(), "w": w.tolist()}, weights="w")
    repeated = zeph.implication_tests(d, [], {"X": x[rep].tolist(), "M": m[rep].tolist(), "Y": y[rep].tolist()})
    assert weighted["statistic"][0] == pytest.approx(repeated["statistic"][0], rel=1e-9)
    # A column without variance, or a singular correlation matrix: NaN and one warning per call.
    for data in ({"X": x.tolist(), "M": [1.0] * n, "Y": y.tolist()}, {"X": x.tolist(), "M": m.tolist(), "Y": (2 * m).tolist()}):
        with pytest.warns(RuntimeWarning, match="^1 test has no statistic") as seen:
            res = zeph.implication_tests(d, [], data)
        assert len(seen) == 1
        assert math.isnan(res["statistic"][0]) and res["rejected"] == [False] and math.isnan(res["p_holm"][0])


def test_implication_tests_errors():
    d = [("A", "B"), ("B", "C")]
    good = {"A": [0, 1, 0, 1], "B": [0, 0, 1, 1], "C": [1, 0, 1, 0]}

    def outcome(*args, **kwargs):
        try:
            return "ok", zeph.implication_tests(*args, **kwargs)
        except BaseException as exc:
            return type(exc).__name__, str(exc)

    assert outcome(d, [], good, test="t") == ("ValueError", 'test must be "auto", "g", "chi2" or "fisher_z", not \'t\'')
    assert outcome(d, [], good, alpha=1.5) == ("ValueError", "alpha must lie strictly between 0 and 1, not 1.5")
    assert outcome(d, [], good, alpha="x")[0] == "TypeError"
    assert outcome(d, [], {"A": [0], "C": [1]}) == ("ValueError", "data has no column for 'B', which the tests need")
    assert outcome(d, [], {**good, "B": [0.5, 1.5, 0.5, 1.5]}) == (
        "ValueError", "some columns the tests read hold floats ('B') and others do not ('A', 'C'): choose the test with test=\"g\", \"chi2\" or \"fisher_z\"")
    assert outcome(d, [], {**good, "A": ["x", "y", "x", "y"]}, test="fisher_z") == (
        "ValueError", "column 'A' holds values that are not numbers, which fisher_z needs")
    assert outcome(d, [], {**good, "w": [1, -1, 1, 1]}, weights="w") == (
        "ValueError", "weights column 'w' holds -1 at row 1: weights must be finite and non-negative")
    assert outcome(d, [], {"A": [], "B": [], "C": []}) == ("ValueError", "data has no rows")
    assert outcome(d, [], [1, 2])[0] == "TypeError"
    assert outcome(d, [])[1] == "implication_tests() missing 1 required positional argument: 'data'"
    assert outcome([("A", "B"), ("B", "A")], [], good) == ("ValueError", "d_edges contain a directed cycle: A -> B -> A")
