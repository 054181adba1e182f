"""zeph.project_latent against the definition of the latent projection and against the true
interventional distribution of models whose hidden variables are nodes; zeph.from_dagitty on
dagitty's syntax, its errors, and any text."""

import itertools
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import numeric
import zeph
from test_fuzz import run_isolated

HEDGE = '{"type": "Hedge"}'


# ---------------------------------------------------------------- the projection


def reaches(children, latent, src, dst):
    """A directed path src -> ... -> dst whose inner nodes are all latent."""
    stack, seen = list(children.get(src, ())), set()
    while stack:
        v = stack.pop()
        if v == dst:
            return True
        if v in latent and v not in seen:
            seen.add(v)
            stack.extend(children.get(v, ()))
    return False


def projection_by_definition(d, b, latent):
    names = list(dict.fromkeys(n for e in d + b for n in e))
    children = {}
    for p, c in d:
        children.setdefault(p, []).append(c)
    observed = [n for n in names if n not in latent]
    hit = lambda p, a: reaches(children, latent, p, a) if p in latent else p == a  # noqa: E731
    directed = {(a, c) for a in observed for c in observed if reaches(children, latent, a, c)}
    bidirected = set()
    for a, c in itertools.combinations(observed, 2):
        if any(hit(u, a) and hit(u, c) for u in latent) or any(
            hit(p, a) and hit(q, c) or hit(p, c) and hit(q, a) for p, q in b
        ):
            bidirected.add(frozenset((a, c)))
    touched = {n for e in directed for n in e} | {n for e in bidirected for n in e}
    bidirected |= {frozenset((n,)) for n in observed if n not in touched}
    return names, directed, bidirected


def random_latent_graph(rng):
    """A DAG over 3 to 8 nodes, some latent, with up to 3 bidirected edges (some touching latent
    nodes); the latent names that occur in no edge are left out."""
    nodes = [f"V{i}" for i in range(rng.randint(3, 8))]
    rng.shuffle(nodes)
    density = rng.uniform(0.15, 0.5)
    d = [(a, c) for i, a in enumerate(nodes) for c in nodes[i + 1 :] if rng.random() < density]
    b = [tuple(rng.sample(nodes, 2)) for _ in range(rng.randint(0, 3))]
    rng.shuffle(d)
    present = {n for e in d + b for n in e}
    latent = [n for n in nodes if n in present and rng.random() < 0.4]
    return d, b, latent


def test_projection_matches_the_definition():
    for seed in range(400):
        d, b, latent = random_latent_graph(random.Random(seed))
        if not d and not b:
            continue
        pd, pb = zeph.project_latent(d, b, latent)
        names, directed, bidirected = projection_by_definition(d, b, set(latent))
        assert set(pd) == directed and len(pd) == len(directed), (d, b, latent)
        assert {frozenset(p) for p in pb} == bidirected and len(pb) == len(bidirected), (d, b, latent)
        # The stated order: numbered as id numbers the input, pairs sorted, earlier name first.
        num = {n: i for i, n in enumerate(names)}
        assert [(num[x], num[y]) for x, y in pd] == sorted((num[x], num[y]) for x, y in pd)
        assert [(num[x], num[y]) for x, y in pb] == sorted((num[x], num[y]) for x, y in pb)
        assert all(num[x] <= num[y] for x, y in pb)


PROJECTIONS = [
    # d_edges, b_edges, latent, projection
    ([("X", "U1"), ("U1", "U2"), ("U2", "Y")], [], ["U1", "U2"], ([("X", "Y")], [])),
    ([("U1", "U2"), ("U2", "Y"), ("U1", "X"), ("X", "Y")], [], ["U1", "U2"], ([("X", "Y")], [("Y", "X")])),
    # a latent with one child vanishes, and its child stays as a self-pair
    ([("U", "X")], [], ["U"], ([], [("X", "X")])),
    ([("U", "X"), ("X", "Y")], [], ["U"], ([("X", "Y")], [])),
    # a latent root of several children confounds every pair of them
    ([("U", "A"), ("U", "B"), ("U", "C")], [], ["U"], ([], [("A", "B"), ("A", "C"), ("B", "C")])),
    # a bidirected edge with a latent end is a hidden parent of that end (Y is numbered first)
    ([("U", "Y")], [("X", "U")], ["U"], ([], [("Y", "X")])),
    # observed input pairs are kept once, in the stated order; other self-pairs go
    ([("X", "Y")], [("Y", "X"), ("X", "Y"), ("X", "X")], [], ([("X", "Y")], [("X", "Y")])),
    # every name latent: nothing is left
    ([("U", "V")], [("V", "W")], ["W", "U", "V"], ([], [])),
]


@pytest.mark.parametrize("d, b, latent, expected", PROJECTIONS)
def test_projection(d, b, latent, expected):
    assert zeph.project_latent(d, b, latent) == expected
    assert zeph.project_latent(d_edges=d, b_edges=b, latent=latent) == expected


@pytest.mark.parametrize(
    "args, error, message",
    [
        (([("A", "B")], [], ["C"]), ValueError, "Latent variable C occurs in no edge"),
        (([("A", "U"), ("U", "A")], [], ["U"]), ValueError, "d_edges contain a directed cycle: A -> U -> A"),
        (([("A", "B")], [], "A"), ValueError, "Can't extract `str` to `Vec`"),
        (([("A", "B")], [], {"A"}), TypeError, "argument 'latent': 'set' object cannot be converted to 'Sequence'"),
        (([("A", "B")], [], [1]), TypeError, "argument 'latent': 'int' object cannot be converted to 'PyString'"),
        (([["A", "B"]], [], []), TypeError, "argument 'd_edges': 'list' object cannot be converted to 'PyTuple'"),
        (([], [("A", 1)], []), TypeError, "argument 'b_edges': 'int' object cannot be converted to 'PyString'"),
        (([], []), TypeError, "project_latent() missing 1 required positional argument: 'latent'"),
        (([], [], [], []), TypeError, "project_latent() takes 3 positional arguments but 4 were given"),
    ],
)
def test_projection_errors(args, error, message):
    with pytest.raises(error) as e:
        zeph.project_latent(*args)
    assert str(e.value) == message


# ---------------------------------------------------------------- numeric truth


class ExplicitModel(numeric.RandomModel):
    """Binary variables with the hidden ones as nodes of a DAG (a bidirected edge becomes one more
    hidden parent of its ends). The observational joint and the interventional distributions of
    the observed variables sum the hidden ones out."""

    def __init__(self, d, b, latent, rng):
        d = list(d) + [(f"H{k}", n) for k, pair in enumerate(b) for n in pair]
        nodes = list(dict.fromkeys(n for e in d for n in e))
        hidden = set(latent) | {f"H{k}" for k in range(len(b))}
        self.names = [n for n in nodes if n not in hidden]
        self.index = {n: i for i, n in enumerate(self.names)}
        self.nodes = self.names + [n for n in nodes if n in hidden]  # observed bits first
        pos = {n: i for i, n in enumerate(self.nodes)}
        self.parents = [[pos[p] for p, c in d if c == n] for n in self.nodes]
        self.table = [[rng.uniform(0.1, 0.9) for _ in range(2 ** len(ps))] for ps in self.parents]
        self._joint = None
        self._marginals = {}

    def _weights(self, skip):
        n, k = len(self.nodes), len(self.names)
        out = [0.0] * (1 << k)
        for v in range(1 << n):
            w = 1.0
            for i, ps in enumerate(self.parents):
                if i in skip:
                    continue
                row = sum((v >> p & 1) << bit for bit, p in enumerate(ps))
                p1 = self.table[i][row]
                w *= p1 if v >> i & 1 else 1 - p1
            out[v & ((1 << k) - 1)] += w
        return out


def test_id_on_the_projection_is_numerically_right():
    answered = with_latent = 0
    for seed in range(600):
        rng = random.Random(seed)
        d, b, latent = random_latent_graph(rng)
        pd, pb = zeph.project_latent(d, b, latent)
        observed = sorted({n for e in pd + pb for n in e})
        if not observed:
            continue
        rng.shuffle(observed)
        nx, ny, nz = rng.randint(1, 2), rng.randint(0, 2), rng.randint(0, 1)
        x, y, z = observed[:nx], observed[nx : nx + ny], observed[nx + ny : nx + ny + nz]
        text = zeph.id(pd, pb, y, x, z)
        if text == HEDGE:
            continue
        numeric.check(text, ExplicitModel(d, b, latent, rng), x, y, z)
        answered += 1
        with_latent += bool(latent)
    assert answered > 250 and with_latent > 100, (answered, with_latent)


# ---------------------------------------------------------------- dagitty


def graph(d=(), b=(), interventions=(), outcomes=(), latent=()):
    return {
        "d_edges": list(d),
        "b_edges": list(b),
        "interventions": list(interventions),
        "outcomes": list(outcomes),
        "latent": list(latent),
    }


DAGITTY = [
    # the example: U is projected into X <-> Y (already there)
    (
        "dag { X -> M -> Y ; X <-> Y ; U [latent] ; X [exposure] ; Y [outcome] ; U -> X }",
        graph([("X", "M"), ("M", "Y")], [("X", "Y")], ["X"], ["Y"], ["U"]),
    ),
    # as dagitty's documentation writes graphs
    ("dag{ x -> y ; y -> z }", graph([("x", "y"), ("y", "z")])),
    (
        "dag {\n  x [exposure]\n  y [outcome]\n  x -> y\n  x <- z -> y\n}",
        graph([("x", "y"), ("z", "x"), ("z", "y")], [], ["x"], ["y"]),
    ),
    ("dag{ x <- u -> y ; x -> y ; u [latent] }", graph([("x", "y")], [("x", "y")], latent=["u"])),
    # as dagitty.net exports them: graph and node attributes, edge attributes
    (
        'dag {\nbb="-3.2,-2.5,3.1,2.4"\nA [selected,pos="-2.200,-1.520"]\nD [outcome,pos="1.400,1.621"]\n'
        'E [exposure,pos="-2.200,1.597"]\nZ [adjusted,pos="-0.300,-0.082"]\nA -> E\nA -> Z [pos="-0.791,-1.045"]\n'
        "E -> D\nZ -> D [beta=-0.3]\n}\n",
        graph([("A", "E"), ("A", "Z"), ("E", "D"), ("Z", "D")], [], ["E"], ["D"]),
    ),
    # without the wrapper, statements apart by whitespace alone, chains, <- and groups
    ("A -> B C -> D", graph([("A", "B"), ("C", "D")])),
    ("A -> {B C} <- D", graph([("A", "B"), ("A", "C"), ("D", "B"), ("D", "C")])),
    ("{A {B}} -> C", graph([("A", "C"), ("B", "C")])),
    # quoted names, with escapes and odd characters
    ('"my var" -> "y\\"2"; "x y" [exposure]', graph([("my var", 'y"2')], [("x y", "x y")], ["x y"])),
    # a byte order mark and Unicode spaces separate; other non-ASCII characters make names
    ("\ufeffdag {\u00a0Größe\u2009->\u3000y }", graph([("Größe", "y")])),
    # comments of three kinds
    ("A -> B # one\n// two\n/* three\n */ B -> C", graph([("A", "B"), ("B", "C")])),
    # nodes without edges: kept when observed, dropped when latent
    ("dag { X Y [latent] Z -> W }", graph([("Z", "W")], [("X", "X")], latent=["Y"])),
    # a chain of latents
    ("U1 -> U2 -> Y ; X -> U1 ; {U1 U2} [latent]", graph([("X", "Y")], latent=["U1", "U2"])),
    # repeated edges and declarations count once; an empty text is an empty graph
    ("X -> Y; X -> Y; Y [outcome]; Y [outcome]", graph([("X", "Y")], outcomes=["Y"])),
    ("", graph()),
    ("dag {}", graph()),
]


@pytest.mark.parametrize("text, expected", DAGITTY)
def test_from_dagitty(text, expected):
    g = zeph.from_dagitty(text)
    assert g == expected
    # ready for id as it is
    if g["outcomes"]:
        assert isinstance(zeph.id(g["d_edges"], g["b_edges"], g["interventions"], g["outcomes"], []), str)


DAGITTY_ERRORS = [
    ("dag { X -> }", "line 1, column 12: expected a name or '{' after '->', found '}'"),
    ("dag {\n  X -> Y\n", "line 3, column 1: expected '}' to close the graph opened at line 1, column 5, found end of text"),
    ("dag { X } Y", "line 1, column 11: expected end of text after the '}' that closes the graph, found 'Y'"),
    ("A -> {B C", "line 1, column 10: expected a name, '{' or '}' in the group opened at line 1, column 6, found end of text"),
    ("A [latent", "line 1, column 10: expected an attribute name or ']' to close the list opened at line 1, column 3, found end of text"),
    ('x\n  "abc', "line 2, column 3: expected '\"' to close the quoted name that starts here, found end of text"),
    ("bb=", "line 1, column 4: expected a value after '=', found end of text"),
    ("é -> %", "line 1, column 6: expected a name or '{' after '->', found '%'"),
    ("A\r\nB\rC ->\t\x07", "line 3, column 6: expected a name or '{' after '->', found the character U+0007"),
    ("A /* open", "line 1, column 3: expected '*/' to close the comment that starts here, found end of text"),
    ("X -- Y", "line 1, column 3: undirected edge '--'"),
    ("dag { X @-> Y }", "line 1, column 9: edge '@->' has a circle mark"),
    ("pdag { X -> Y }", "line 1, column 1: pdag graphs are not supported"),
    ("mag { X -> Y }", "line 1, column 1: mag graphs are not supported"),
    ("\n  pag {}", "line 2, column 3: pag graphs are not supported"),
    ("X -> Y -> Z -> X", "d_edges contain a directed cycle: X -> Y -> Z -> X"),
    ("X [latent, exposure] X -> Y", "Variable X cannot be both latent and an exposure"),
]


@pytest.mark.parametrize("text, message", DAGITTY_ERRORS)
def test_from_dagitty_errors(text, message):
    with pytest.raises(ValueError) as e:
        zeph.from_dagitty(text)
    assert str(e.value).startswith(message)


def test_from_dagitty_arguments():
    with pytest.raises(TypeError, match="^argument 'text': 'bytes' object cannot be converted to 'PyString'$"):
        zeph.from_dagitty(b"X -> Y")
    with pytest.raises(TypeError, match=r"^from_dagitty\(\) missing 1 required positional argument: 'text'$"):
        zeph.from_dagitty()
    assert zeph.from_dagitty(text="X -> Y")["d_edges"] == [("X", "Y")]
    with pytest.raises(ValueError):  # a lone surrogate cannot be read as UTF-8
        zeph.from_dagitty("X -> \ud800")


def test_long_and_deep_texts():
    assert len(zeph.from_dagitty(" -> ".join(f"V{i}" for i in range(100_000)))["d_edges"]) == 99_999
    depth = 1_000_000
    assert zeph.from_dagitty("X -> " + "{" * depth + "Y" + "}" * depth)["d_edges"] == [("X", "Y")]
    with pytest.raises(ValueError, match=f"^line 1, column {depth + 1}: "):
        zeph.from_dagitty("{" * depth)


TOKENS = ["dag", "pdag", "{", "}", "[", "]", "->", "<-", "<->", "--", "@", "-", "<", "=", ";", ",", '"', "\\",
          "\n", " ", "#", "//", "/*", "*/", "latent", "exposure", "outcome", "pos", "X", "Y", "U", "é", "\x00"]
FUZZ = settings(max_examples=1500, deadline=None, database=None, suppress_health_check=list(HealthCheck))


@FUZZ
@given(st.one_of(st.text(), st.lists(st.sampled_from(TOKENS), max_size=40).map(" ".join),
                 st.lists(st.sampled_from(TOKENS), max_size=40).map("".join)))
def fuzz_from_dagitty(text):
    try:
        g = zeph.from_dagitty(text)
    except ValueError:
        return
    assert sorted(g) == ["b_edges", "d_edges", "interventions", "latent", "outcomes"]
    zeph.project_latent(g["d_edges"], g["b_edges"], [])  # well formed and acyclic


def test_any_text_gives_a_graph_or_a_value_error():
    run_isolated("import test_graphs; test_graphs.fuzz_from_dagitty()")


def test_readme_examples_run():
    import doctest
    import pathlib

    text = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    part = text[text.index("## Graphs with hidden variables") : text.index("## Performance")].replace("```", "")
    test = doctest.DocTestParser().get_doctest(part, {"zeph": zeph}, "README", "README.md", 0)
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert runner.summarize().failed == 0
