"""zeph.hedge: the witness of non-identifiability. Exact witnesses, the same binding and errors as id,
and on thousands of random queries a witness exactly when id answers Hedge, each one checked to be a
hedge for the query it names by a checker that works from the edges alone."""

import random

import pytest

import reference
import test_boundary
from test_identification import HEDGE, random_cases, random_graph, random_query, random_request

zeph = pytest.importorskip("zeph")

KEYS = ["interventions", "outcomes", "F", "F_prime", "roots"]


def witness(*values):
    return dict(zip(KEYS, values))


EXACT = [
    # d_edges, b_edges, y (do), x (outcomes), z, witness
    # the bow arc
    ([("X", "Y")], [("X", "Y")], ["X"], ["Y"], [], witness(["X"], ["Y"], ["X", "Y"], ["Y"], ["Y"])),
    # line 3 makes W an intervention too (it reaches Y only through X), and F keeps it
    ([("W", "X"), ("X", "Y")], [("X", "Y"), ("W", "Y")], ["X"], ["Y"], [],
     witness(["X"], ["Y"], ["W", "X", "Y"], ["Y"], ["Y"])),
    # line 4 splits G \ X into {Z} and {Y}; both fail, the first reached is reported, rooted in Z
    ([("X", "Z"), ("Z", "Y")], [("X", "Z"), ("X", "Y")], ["X"], ["Y"], [],
     witness(["X"], ["Y"], ["X", "Z"], ["Z"], ["Z"])),
    # names in the order of first sight, not the caller's order
    ([("b", "a")], [("a", "b")], ["b"], ["a"], [], witness(["b"], ["a"], ["b", "a"], ["a"], ["a"])),
    # conditional, Z stays: the failing query is P(Y, Z | do(X))
    ([("X", "Y"), ("Y", "Z")], [("X", "Y")], ["X"], ["Y"], ["Z"], witness(["X"], ["Y", "Z"], ["X", "Y"], ["Y"], ["Y"])),
    # conditional, Z moves by rule 2: the failing query is P(Y | do(Z, X))
    ([("Z", "X"), ("X", "Y")], [("X", "Y")], ["X"], ["Y"], ["Z"], witness(["Z", "X"], ["Y"], ["X", "Y"], ["Y"], ["Y"])),
    # the README's larger example: hidden motivation (training <-> earnings) and ability (skills <-> earnings)
    ([("age", "training"), ("training", "skills"), ("skills", "earnings"), ("age", "earnings")],
     [("training", "earnings"), ("skills", "earnings")], ["training"], ["earnings"], [],
     witness(["training"], ["earnings"], ["training", "skills", "earnings"], ["skills", "earnings"],
             ["skills", "earnings"])),
]


@pytest.mark.parametrize("d, b, y, x, z, expected", EXACT)
def test_exact_witness(d, b, y, x, z, expected):
    assert zeph.id(d, b, y, x, z) == HEDGE
    got = zeph.hedge(d, b, y, x, z)
    assert got == expected and list(got) == KEYS
    assert zeph.hedge(d_edges=d, b_edges=b, y=y, x=x, z=z) == expected
    assert_is_hedge(d, b, got)


def test_identifiable_gives_none():
    assert zeph.hedge([("X", "M"), ("M", "Y")], [("X", "Y")], ["X"], ["Y"], []) is None
    # the conditional division fails, but V2 moves into the interventions and the effect is identified
    assert zeph.hedge([("V1", "V2")], [("V1", "V0"), ("V1", "V2")], ["V1"], ["V0"], ["V2"]) is None


# ---------------------------------------------------------------- the independent checker


def assert_is_hedge(d_edges, b_edges, w):
    """F and F' form a hedge for P(outcomes | do(interventions)) in the graph of the edges."""
    xs, ys = set(w["interventions"]), set(w["outcomes"])
    f, f2, roots = set(w["F"]), set(w["F_prime"]), set(w["roots"])
    nodes = {n for e in list(d_edges) + list(b_edges) for n in e}
    parents = {}
    for a, b in d_edges:
        parents.setdefault(b, set()).add(a)
    bi = {}
    for a, b in b_edges:
        bi.setdefault(a, set()).add(b)
        bi.setdefault(b, set()).add(a)

    for key in KEYS:  # each list without repeats, in the order the names are first seen in the edges
        seen = [n for e in list(d_edges) + list(b_edges) for n in e]
        assert w[key] == sorted(set(w[key]), key=seen.index), (key, w)
    assert f <= nodes and f2 < f, w
    assert roots and roots <= f2, w
    assert f & xs and not f2 & xs, w
    for part in (f, f2):
        # one c-component: joined by bidirected edges among its own members
        start = next(iter(part))
        reached, todo = {start}, [start]
        while todo:
            for u in bi.get(todo.pop(), ()):
                if u in part and u not in reached:
                    reached.add(u)
                    todo.append(u)
        assert reached == part, ("not one c-component", part, w)
        # every member reaches a root by a directed path inside the part
        reaching, todo = set(roots), list(roots)
        while todo:
            for p in parents.get(todo.pop(), ()):
                if p in part and p not in reaching:
                    reaching.add(p)
                    todo.append(p)
        assert reaching >= part, ("members that reach no root", part - reaching, w)
    # the roots are ancestors of the outcomes once the edges into the interventions are cut
    ancestors, todo = set(ys), list(ys)
    while todo:
        v = todo.pop()
        for p in () if v in xs else parents.get(v, ()):
            if p not in ancestors:
                ancestors.add(p)
                todo.append(p)
    assert roots <= ancestors, w


def failing_query(d, b, y, x, z):
    """The interventions and outcomes of the unconditional query on which id finally fails: rule 2 moves
    conditioning variables into the interventions only when the plain division fails."""
    if not z:
        return set(y), set(x)
    ids, names = {}, []
    for n in (n for e in list(d) + list(b) for n in e):
        if n not in ids:
            ids[n] = len(names)
            names.append(n)
    parents, bi = {}, {}
    for a, c in d:
        parents.setdefault(ids[c], set()).add(ids[a])
    for a, c in b:
        bi.setdefault(ids[a], set()).add(ids[c])
        bi.setdefault(ids[c], set()).add(ids[a])
    model = reference.Model(parents, bi, range(len(names)))
    ix, iz = (frozenset(ids[n] for n in q) for q in (y, z))
    moved = set()
    if reference.identify(d, b, y, x, z, idc=False) == HEDGE:
        new_x, _ = reference.idc_reduce(model, frozenset(ids[n] for n in x), ix, iz)
        moved = {names[i] for i in new_x - ix}
    return set(y) | moved, set(x) | (set(z) - moved)


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except BaseException as exc:  # PanicException is not an Exception
        return type(exc).__name__, str(exc)


def dense_cases(seeds):
    """More hidden common causes than the suite's random models: more hedges, and larger ones."""
    for seed in seeds:
        rng = random.Random(seed)
        d, _ = random_graph(rng)
        names = sorted({n for e in d for n in e}) or ["V0", "V1"]
        pairs = [(a, c) for i, a in enumerate(names) for c in names[i + 1:]]
        b = rng.sample(pairs, min(len(pairs), rng.randint(2, 6))) if pairs else []
        yield (rng, d, b) + random_query(rng, d, b)


def test_every_witness_is_a_hedge_for_the_query_it_names():
    checked = conditional = moved = 0
    cases = list(random_cases(range(200_000, 210_000))) + list(dense_cases(range(300_000, 310_000)))
    for _, d, b, y, x, z in cases:
        answer, got = zeph.id(d, b, y, x, z), zeph.hedge(d, b, y, x, z)
        assert (got is None) == (answer != HEDGE), (d, b, y, x, z, got)
        if got is None:
            continue
        interventions, outcomes = failing_query(d, b, y, x, z)
        assert (set(got["interventions"]), set(got["outcomes"])) == (interventions, outcomes), (d, b, y, x, z, got)
        assert_is_hedge(d, b, got)
        # the query it names is itself not identifiable, and has this witness
        assert zeph.hedge(d, b, got["interventions"], got["outcomes"], []) == got
        checked += 1
        conditional += bool(z)
        moved += set(got["interventions"]) != set(y)
    print(f"\n{checked} witnesses checked, {conditional} of conditional queries, {moved} after rule 2 moved a variable")
    assert checked > 3000 and conditional > 1000 and moved > 100


def test_same_answer_kind_and_errors_as_id():
    for seed in range(6000):
        request = random_request(random.Random(seed))
        want, got = outcome(zeph.id, *request), outcome(zeph.hedge, *request)
        if want[0] == "ok":
            assert (got[0], got[1] is None) == ("ok", want[1] != HEDGE), (seed, request, got)
        else:
            assert got == want, (seed, request)


# ---------------------------------------------------------------- binding and conversion, as id does them

BINDING = test_boundary.test_binding_error.pytestmark[0].args[1]


@pytest.mark.parametrize("args, kwargs, message", BINDING)
def test_binding_error_names_hedge(args, kwargs, message):
    test_boundary.raises_exactly(TypeError, message.replace("id()", "hedge()"), zeph.hedge, *args, **kwargs)


@pytest.mark.parametrize("param, value, exc_type, message", test_boundary.CONVERSION)
def test_conversion_error_as_id(param, value, exc_type, message):
    args = list(dict(test_boundary.GOOD, **{param: value}).values())
    assert outcome(zeph.hedge, *args) == outcome(zeph.id, *args)


def test_names_come_back_exactly():
    for name in ['say "hi"', "nul\x00", "Größe", "tab\there"]:
        assert zeph.hedge([(name, "Y")], [("Y", name)], [name], ["Y"], [])["F"] == [name, "Y"]

