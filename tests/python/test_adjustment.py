"""Adjustment sets, the optimal set and instruments, checked numerically: adjustment against the true
interventional distribution of random discrete models of the graph (exact arithmetic over enumerated
distributions), instruments against the total effect of random linear models."""

import itertools
import random
import warnings

import pytest

import numeric
import zeph

np = pytest.importorskip("numpy")


def random_graph(rng, n):
    names = [f"V{i}" for i in range(n)]
    order = rng.sample(names, n)
    d = [(u, v) for i, u in enumerate(order) for v in order[i + 1:] if rng.random() < 0.35]
    pairs = [(u, v) for i, u in enumerate(names) for v in names[i + 1:]]
    b = rng.sample(pairs, rng.randint(0, 2))
    used = {x for e in d + b for x in e}
    b += [(v, v) for v in names if v not in used]
    return d, b, names, order


def first_seen(d, b):
    order = []
    for u, v in list(d) + list(b):
        for x in (u, v):
            if x not in order:
                order.append(x)
    return order


def adjusts(model, y, x, w):
    """Whether sum_w P(x | y, w) P(w) equals P(x | do(y)) at every value."""
    truth = model.truth(x, y, [])
    ym, xm, wm = model.mask(y), model.mask(x), model.mask(w)
    bits = [model.mask([n]) for n in w]
    for a, want in truth.items():
        total = 0.0
        for values in range(1 << len(bits)):
            v = a
            for k, bit in enumerate(bits):
                v |= bit if values >> k & 1 else 0
            total += model.prob(xm | ym | wm, v) / model.prob(ym | wm, v) * model.prob(wm, v)
        if abs(total - want) > 1e-9:
            return False
    return True


@pytest.mark.parametrize("seed", range(40))
def test_adjustment_sets_are_exactly_the_sets_that_adjust(seed):
    rng = random.Random(seed)
    d, b, names, order = random_graph(rng, rng.randint(3, 7))
    y, x = [order[0]], [order[-1]]
    if rng.random() < 0.3 and len(order) > 4:
        y.append(order[1])
    model = numeric.RandomModel(d, b, rng)
    others = [v for v in first_seen(d, b) if v not in y + x]
    valid = [w for k in range(len(others) + 1) for w in itertools.combinations(others, k) if adjusts(model, y, x, list(w))]
    got = zeph.adjustment_sets(d, b, y, x, [], minimal=False)
    assert sorted(map(set, got), key=sorted) == sorted(map(set, valid), key=sorted)
    minimal = [w for w in valid if not any(set(v) < set(w) for v in valid)]
    got_minimal = zeph.adjustment_sets(d, b, y, x, [])
    assert sorted(map(set, got_minimal), key=sorted) == sorted(map(set, minimal), key=sorted)
    # The documented order: by size, then by first-seen positions.
    pos = first_seen(d, b).index
    assert got == sorted(got, key=lambda w: (len(w), [pos(v) for v in w]))
    assert all(list(w) == sorted(w, key=pos) for w in got)
    for w in valid[:5]:
        assert zeph.is_adjustment_set(d, b, y, x, [], list(w))
    optimal = zeph.optimal_adjustment_set(d, b, y, x, [])
    if any(u != v for u, v in b):
        assert optimal is None
    else:
        assert (optimal is None) == (not valid)
        if optimal is not None:
            assert tuple(optimal) in [tuple(w) for w in valid]


def test_textbook_cases():
    front_door = ([("X", "M"), ("M", "Y")], [("X", "Y")])
    assert zeph.adjustment_sets(*front_door, ["X"], ["Y"], []) == []
    assert zeph.optimal_adjustment_set([("X", "M"), ("M", "Y")], [], ["X"], ["Y"], []) == ()
    m_bias = [("A", "M"), ("B", "M"), ("A", "X"), ("B", "Y"), ("X", "Y")]
    assert zeph.adjustment_sets(m_bias, [], ["X"], ["Y"], []) == [()]
    assert not zeph.is_adjustment_set(m_bias, [], ["X"], ["Y"], [], ["M"])
    assert zeph.is_adjustment_set(m_bias, [], ["X"], ["Y"], [], ["M", "B"])
    assert zeph.optimal_adjustment_set(m_bias, [], ["X"], ["Y"], []) == ("B",)
    # Two treatments whose paths meet in a collider C, which a hidden cause ties to Y: C opens it.
    two = [("X1", "Y"), ("X2", "Y"), ("X1", "C"), ("X2", "C")]
    assert zeph.adjustment_sets(two, [("C", "Y")], ["X1", "X2"], ["Y"], []) == [()]
    assert not zeph.is_adjustment_set(two, [("C", "Y")], ["X1", "X2"], ["Y"], [], ["C"])
    # Conditioning: every set holds z; z alone can suffice.
    back = [("Z", "X"), ("Z", "Y"), ("X", "Y"), ("W", "Z")]
    assert zeph.adjustment_sets(back, [], ["X"], ["Y"], ["Z"]) == [("Z",)]
    assert zeph.adjustment_sets(back, [], ["X"], ["Y"], ["W"]) == [("Z", "W")]
    assert zeph.adjustment_sets(back, [], ["X"], ["Y"], [], unobserved=["Z"]) == []
    # Unmeasured variables are never in a set: A or B suffices, and B alone once A is unmeasured.
    two_ways = [("A", "X"), ("A", "B"), ("B", "Y"), ("X", "Y")]
    assert zeph.adjustment_sets(two_ways, [], ["X"], ["Y"], []) == [("A",), ("B",)]
    assert zeph.adjustment_sets(two_ways, [], ["X"], ["Y"], [], unobserved=["A"]) == [("B",)]


def test_limit_cuts_with_one_warning():
    chain = [(f"A{i}", "X") for i in range(6)] + [(f"A{i}", "Y") for i in range(6)] + [("X", "Y")]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        full = zeph.adjustment_sets(chain, [], ["X"], ["Y"], [], minimal=False)
    assert len(full) == 1 and full[0] == tuple(f"A{i}" for i in range(6))
    star = [(f"A{i}", "X") for i in range(8)] + [("X", "Y")]
    with pytest.warns(RuntimeWarning, match="the first 10 found") as seen:
        cut = zeph.adjustment_sets(star, [], ["X"], ["Y"], [], minimal=False, limit=10)
    assert len(seen) == 1 and len(cut) == 10


def linear_effect_holds(d, b, y, x, instrument, given, rng):
    """In a random linear model of the graph: Cov(x, I | W) / Cov(y, I | W) against the total effect."""
    names = first_seen(d, b)
    k = {v: i for i, v in enumerate(names)}
    n = len(names)
    coef = np.zeros((n, n))
    for u, v in d:
        coef[k[v], k[u]] = rng.uniform(0.5, 1.5) * rng.choice([-1, 1])
    omega = np.eye(n)
    for u, v in b:
        if u != v:
            omega[k[u], k[v]] = omega[k[v], k[u]] = rng.uniform(0.2, 0.4)
    inv = np.linalg.inv(np.eye(n) - coef)
    sigma = inv @ omega @ inv.T
    effect = inv[k[x], k[y]]

    def cov(a, c, w):
        s = sigma[k[a], k[c]]
        if w:
            idx = [k[v] for v in w]
            s -= sigma[k[a], idx] @ np.linalg.solve(sigma[np.ix_(idx, idx)], sigma[idx, k[c]])
        return s

    denominator = cov(y, instrument, given)
    return abs(denominator) > 1e-8 and abs(cov(x, instrument, given) / denominator - effect) < 1e-8


def test_the_textbook_instruments():
    assert zeph.instruments([("I", "C"), ("y", "C"), ("y", "x")], [], ["y"], ["x"], []) == [("I", ("C",)), ("C", ())]
    assert zeph.instruments([("Z", "X"), ("X", "Y")], [("X", "Y")], ["X"], ["Y"], []) == [("Z", ())]
    # A conditional instrument: Z is confounded with Y through W, which closes it.
    d = [("W", "Z"), ("W", "Y"), ("Z", "X"), ("X", "Y")]
    assert ("Z", ("W",)) in zeph.instruments(d, [("X", "Y")], ["X"], ["Y"], [])
    assert ("Z", ()) not in zeph.instruments(d, [("X", "Y")], ["X"], ["Y"], [])


@pytest.mark.parametrize("seed", range(30))
def test_instruments_give_the_effect_in_linear_models(seed):
    rng = random.Random(seed)
    d, b, names, order = random_graph(rng, rng.randint(3, 6))
    y, x = order[0], order[-1]
    b = b + [(y, x)]  # the effect is confounded
    got = zeph.instruments(d, b, [y], [x], [])
    nrng = np.random.default_rng(seed)
    for instrument, given in got:
        assert linear_effect_holds(d, b, y, x, instrument, list(given), nrng), (instrument, given)
    # Complete where it can be checked: a pair that gives the effect in the model contains a listed one.
    others = [v for v in first_seen(d, b) if v not in (y, x)]
    for instrument in others:
        rest = [v for v in others if v != instrument]
        for k in range(len(rest) + 1):
            for w in itertools.combinations(rest, k):
                if linear_effect_holds(d, b, y, x, instrument, list(w), np.random.default_rng(seed)):
                    assert any(i == instrument and set(g) <= set(w) for i, g in got), (instrument, w, got)


def test_errors():
    def outcome(fn, *args, **kwargs):
        try:
            return "ok", fn(*args, **kwargs)
        except BaseException as exc:
            return type(exc).__name__, str(exc)

    back = [("Z", "X"), ("Z", "Y"), ("X", "Y"), ("X", "M")]
    # The query's errors, as id raises them.
    for q in [(back, [], ["X"], ["X"], []), (back, [], ["X"], ["Q"], []), ("XY", [], ["X"], ["Y"], [])]:
        kind, text = outcome(zeph.adjustment_sets, *q)
        id_kind, id_text = outcome(zeph.id, *q)
        assert (kind, text) == (id_kind, id_text.replace("id()", "adjustment_sets()"))
    assert outcome(zeph.adjustment_sets, back, [], ["X"], ["Y"], [], unobserved=["Q"]) == (
        "ValueError", "Unobserved variable Q occurs in no edge")
    assert outcome(zeph.adjustment_sets, back, [], ["X"], ["Y"], [], unobserved=["X"]) == (
        "ValueError", "Unobserved variable X cannot be an intervention: it is not measured")
    assert outcome(zeph.adjustment_sets, back, [], ["X"], ["Y"], ["M"]) == (
        "ValueError", "Conditioning variable M is a descendant of the intervention X: adjustment needs conditioning variables that the interventions do not affect")
    assert outcome(zeph.is_adjustment_set, back, [], ["X"], ["Y"], [], ["Y"]) == (
        "ValueError", "Variable Y cannot be both an outcome and an adjustment variable")
    assert outcome(zeph.is_adjustment_set, back, [], ["X"], ["Y"], [], ["Q"]) == (
        "ValueError", "Adjustment variable Q occurs in no edge")
    assert outcome(zeph.is_adjustment_set, back, [], ["X"], ["Y"], [], "Z") == ("ValueError", "Can't extract `str` to `Vec`")
    assert outcome(zeph.optimal_adjustment_set, back, [], ["X"], ["Y"], ["Z"]) == (
        "ValueError", "optimal_adjustment_set takes no conditioning variables: z must be empty")
    assert outcome(zeph.instruments, back, [], ["X", "Z"], ["Y"], []) == (
        "ValueError", "instruments here are for one intervention and one outcome, not 2 interventions and 1 outcome")
    assert outcome(zeph.adjustment_sets, back, [], ["X"], ["Y"], [], limit=0) == ("ValueError", "limit must be a positive int")
    assert outcome(zeph.adjustment_sets, back, [], ["X"], ["Y"], [], wrong=0)[1] == "adjustment_sets() got an unexpected keyword argument 'wrong'"
