"""zeph.gid and zeph.transport: every formula they return, evaluated on the listed distributions of
random models (computed exactly by enumeration), equals the target's interventional distribution; the
textbook cases; the formula of id where only observations are listed; and every error."""

import copy
import itertools
import json
import random

import pytest

import numeric
import zeph


class Distributions:
    """The target model and, per domain, a copy with new random mechanisms at its differing variables."""

    def __init__(self, d, b, rng, domains=()):
        self.target = numeric.RandomModel(d, b, rng)
        self.domains = {}
        for name, differs in domains:
            m = copy.deepcopy(self.target)
            for v in differs:
                i = m.index[v]
                m.table[i] = [rng.uniform(0.1, 0.9) for _ in m.table[i]]
            m._joint, m._marginals = None, {}
            self.domains[name] = m
        self._cache = {}

    def prob(self, domain, fixed, mask, values):
        """P^(domain)(variables of mask = their bits | do(fixed = their bits in values))."""
        model = self.target if domain is None else self.domains[domain]
        key = (domain, tuple(fixed), mask)
        table = self._cache.get(key)
        if table is None:
            weights = model._weights({model.index[v] for v in fixed})
            fm = model.mask(fixed)
            table = {}
            for ov, p in enumerate(weights):
                k = ov & (mask | fm)
                table[k] = table.get(k, 0.0) + p
            self._cache[key] = table
        return table[values & (mask | model.mask(fixed))]


def evaluate(node, dists, model, a):
    t = node["type"]
    if t == "P":
        fixed = node.get("do", [])
        domain = node.get("domain")
        joint = model.mask(node["vars"]) | model.mask(node["given"])
        given = model.mask(node["given"])
        num = dists.prob(domain, fixed, joint, a)
        return num / dists.prob(domain, fixed, given, a) if node["given"] else num
    if t == "Quotient":
        return evaluate(node["numer"], dists, model, a) / evaluate(node["denom"], dists, model, a)
    if t == "Product":
        out = 1.0
        for e in node["exprs"]:
            out *= evaluate(e, dists, model, a)
        return out
    bits = [model.mask([n]) for n in node["sub"]]
    cleared = a
    for bit in bits:
        cleared &= ~bit
    total = 0.0
    for values in range(1 << len(bits)):
        v = cleared
        for k, bit in enumerate(bits):
            v |= bit if values >> k & 1 else 0
        total += evaluate(node["exp"], dists, model, v)
    return total


def check(answer, dists, y, x, z):
    model = dists.target
    tree = json.loads(answer)
    truth = model.truth(x, y, z)
    others = [n for n in model.names if n not in x + y + z]
    for a, want in truth.items():
        # Variables the formula leaves free beyond the query may take any value.
        for values in itertools.product((0, 1), repeat=len(others)):
            full = a | sum(model.mask([n]) for n, v in zip(others, values) if v)
            got = evaluate(tree, dists, model, full)
            assert abs(got - want) < 1e-9, (answer, a, got, want)


def random_case(rng):
    while True:
        n = rng.randint(3, 6)
        names = [f"V{i}" for i in range(n)]
        order = rng.sample(names, n)
        d = [(u, v) for i, u in enumerate(order) for v in order[i + 1:] if rng.random() < 0.45]
        pairs = [(u, v) for i, u in enumerate(names) for v in names[i + 1:]]
        b = rng.sample(pairs, rng.randint(1, 3))
        present = [v for v in order if any(v in e for e in d + b)]
        if len(present) < 3:
            continue
        k = rng.randint(1, 2)
        y, x = present[:k], [present[-1]]
        z = [present[k]] if rng.random() < 0.2 and len(present) > k + 2 else []
        return d, b, y, x, z, present


@pytest.mark.parametrize("seed", range(80))
def test_gid_formulas_equal_the_truth(seed):
    rng = random.Random(seed)
    d, b, y, x, z, present = random_case(rng)
    experiments = [sorted(rng.sample(present, rng.randint(0, 2))) for _ in range(rng.randint(1, 3))]
    answer = zeph.gid(d, b, y, x, z, experiments)
    dists = Distributions(d, b, rng)
    if [] in experiments and all(e == [] for e in experiments):
        assert answer == zeph.formula(d, b, y, x, z)
    if answer is not None:
        check(answer, dists, y, x, z)
    # The order of the experiments, of their names, and repeats change nothing.
    shuffled = [list(reversed(e)) for e in reversed(experiments)] + experiments[:1]
    assert zeph.gid(d, b, y, x, z, shuffled) == answer
    # More distributions never lose an answer (z empty: complete).
    if answer is not None and not z:
        assert zeph.gid(d, b, y, x, z, experiments + [[]]) is not None


@pytest.mark.parametrize("seed", range(60))
def test_transport_formulas_equal_the_truth(seed):
    rng = random.Random(10_000 + seed)
    d, b, y, x, z, present = random_case(rng)
    domains = {}
    for name in rng.sample(["a", "b", "pop 3"], rng.randint(1, 2)):
        domains[name] = {"differs": sorted(rng.sample(present, rng.randint(0, 2))),
                         "experiments": [sorted(rng.sample(present, rng.randint(0, 2))) for _ in range(rng.randint(1, 2))]}
    target = rng.choice([[[]], [], [sorted(rng.sample(present, 1))]])
    answer = zeph.transport(d, b, y, x, z, domains, target=target)
    dists = Distributions(d, b, rng, [(k, v["differs"]) for k, v in domains.items()])
    if answer is not None:
        check(answer, dists, y, x, z)
    assert zeph.transport(d, b, y, x, z, dict(reversed(list(domains.items()))), target=target) == answer
    assert zeph.transport(d, b, y, x, z, {}, target=target) == zeph.gid(d, b, y, x, z, target)


def test_textbook_cases():
    bow = ([("X", "Y")], [("X", "Y")])
    assert zeph.gid(*bow, ["X"], ["Y"], [], [[]]) is None
    assert zeph.gid(*bow, ["X"], ["Y"], [], [["X"]], style="text") == "P(Y | do(X))"
    assert json.loads(zeph.gid(*bow, ["X"], ["Y"], [], [["X"]])) == {"type": "P", "vars": ["Y"], "given": [], "do": ["X"]}
    # Experiments on each part of a joint treatment, where observations do not suffice.
    d, b = [("V2", "V1")], [("V0", "V1"), ("V1", "V2")]
    assert zeph.formula(d, b, ["V0", "V2"], ["V1"], []) is None
    assert zeph.gid(d, b, ["V0", "V2"], ["V1"], [], [["V0"], ["V2"]], style="text") == "P(V1 | do(V2))"
    # An experiment on exactly the interventions answers at once, pruned where conditional.
    front = ([("X", "M"), ("M", "Y")], [("X", "Y")])
    assert zeph.gid([("X", "Y"), ("W", "Y")], [], ["X"], ["Y"], ["W"], [[], ["X"]], style="text") == "P(Y | do(X), W)"
    assert zeph.gid([("X", "Y"), ("X", "W")], [], ["X"], ["Y"], ["W"], [["X"]], style="text") == "P(Y | do(X))"
    assert zeph.gid(*front, ["X"], ["Y"], [], [[]]) == zeph.formula(*front, ["X"], ["Y"], [])
    assert zeph.gid(*front, ["X"], ["Y"], [], [["M"]]) is None
    # Transport: a trial population that differs where nothing matters, and one where it does.
    trial = {"trial": {"differs": ["A"], "experiments": [["X"]]}}
    d = [("A", "X"), ("X", "Y")]
    assert zeph.transport(d, [("X", "Y")], ["X"], ["Y"], [], trial, target=[], style="text") == "P^(trial)(Y | do(X))"
    assert zeph.transport(d, [("X", "Y")], ["X"], ["Y"], [], {"trial": {"differs": ["Y"], "experiments": [["X"]]}}, target=[]) is None
    assert zeph.transport(d, [("X", "Y")], ["X"], ["Y"], [], trial, target=[], style="latex") == r"P^{(\mathrm{trial})}_{X}(Y)"
    assert json.loads(zeph.transport(d, [("X", "Y")], ["X"], ["Y"], [], trial, target=[])) == {
        "type": "P", "vars": ["Y"], "given": [], "do": ["X"], "domain": "trial"}
    # The target has only an experiment on M; Y differs in another population, X's effect on M does
    # not: the front door takes M from there and Y from the experiment.
    answer = zeph.transport(*front, ["X"], ["Y"], [], {"t": {"differs": ["Y"], "experiments": [[]]}}, target=[["M"]], style="text")
    assert answer == "∑_M P^(t)(M | X) P(Y | do(M))"


def test_names_are_escaped_in_labels():
    d = [("X", "Y")]
    got = zeph.transport(d, [("X", "Y")], ["X"], ["Y"], [], {"a b|c": {"differs": [], "experiments": [["X"]]}}, target=[], style="text")
    assert got == 'P^("a b|c")(Y | do(X))'
    got = zeph.transport(d, [("X", "Y")], ["X"], ["Y"], [], {'q"': {"differs": [], "experiments": [["X"]]}}, target=[])
    assert json.loads(got)["domain"] == 'q"'


def test_errors():
    def outcome(fn, *args, **kwargs):
        try:
            return "ok", fn(*args, **kwargs)
        except BaseException as exc:
            return type(exc).__name__, str(exc)

    d = [("X", "M"), ("M", "Y")]
    for q in [(d, [], ["X"], ["X"], []), (d, [], ["X"], ["Q"], []), ("XY", [], ["X"], ["Y"], [])]:
        kind, text = outcome(zeph.gid, *q, "nonsense")
        id_kind, id_text = outcome(zeph.id, *q)
        assert (kind, text) == (id_kind, id_text.replace("id()", "gid()"))
    q = (d, [], ["X"], ["Y"], [])
    assert outcome(zeph.gid, *q, "XZ") == ("ValueError", "Can't extract `str` to `Vec`")
    assert outcome(zeph.gid, *q, [[1]])[0] == "TypeError"
    assert outcome(zeph.gid, *q, [["Q"]]) == ("ValueError", "Variable Q in an experiment occurs in no edge")
    assert outcome(zeph.gid, *q, [[]], style="pdf")[0] == "ValueError"
    assert outcome(zeph.transport, *q, {"t": {"differs": "M", "experiments": []}}) == ("ValueError", "Can't extract `str` to `Vec`")
    assert outcome(zeph.transport, *q, {"t": {"differs": ["Q"], "experiments": []}}) == (
        "ValueError", "Variable Q in the differs of domain 't' occurs in no edge")
    assert outcome(zeph.transport, *q, {"": {"differs": [], "experiments": []}}) == (
        "ValueError", "domain '': a domain's name must be a non-empty str")
    assert outcome(zeph.transport, *q, {3: {"differs": [], "experiments": []}})[0] == "ValueError"
    assert outcome(zeph.transport, *q, {"t": {"differs": []}}) == ("ValueError", "domain 't' lacks \"experiments\"")
    assert outcome(zeph.transport, *q, {"t": {"differs": [], "experiments": [], "x": 1}}) == (
        "ValueError", "domain 't' has the key 'x': a domain holds \"differs\" and \"experiments\" only")
    assert outcome(zeph.transport, *q, {"t": {"differs": [], "experiments": []}}, target="X") == ("ValueError", "Can't extract `str` to `Vec`")
