"""Causal effect identification: the ID algorithm of Shpitser and Pearl.

Failures inside a request raise ``pyo3_runtime.PanicException``, a direct subclass of
``BaseException`` (not of ``Exception``), so ``except Exception`` does not catch it. The type is
not a module attribute; catch it by its name through ``BaseException``::

    try:
        zeph.id(d_edges, b_edges, y, x, z)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
"""

from collections.abc import Mapping, Sequence
from typing import Any, Literal, TypedDict

__all__ = ["hello_world", "id", "formula", "hedge", "estimate", "project_latent", "from_dagitty", "effect", "implications",
           "implication_tests", "adjustment_sets", "is_adjustment_set", "optimal_adjustment_set",
           "instruments", "gid", "transport"]

def hello_world() -> None:
    """Write "Hello, world!" and a newline to file descriptor 1 (not through sys.stdout)."""

def id(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
) -> str:
    """Identify P(x | z, do(y)) and return it as one line of JSON.

    d_edges: directed edges (cause, effect). b_edges: bidirected edges (hidden common
    causes). y: the interventions. x: the outcomes. z: the conditioning variables. Every name
    in y, x and z must occur in some edge.

    Returns the simplified identifying expression, or '{"type": "Hedge"}' when the effect is not
    identifiable from observational data.

    Raises TypeError or ValueError for malformed arguments, ValueError for a variable in two
    roles or a directed cycle, PanicException ("Variable <name> not found") for a query name
    that occurs in no edge, MemoryError when memory runs out, RecursionError when the request
    nests deeper than the calling thread's stack allows.

    The global interpreter lock is released while the answer is computed.
    """

def formula(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
    style: Literal["json", "text", "latex"] = "json",
) -> str | None:
    """Identify P(x | z, do(y)) as id does and return the answer in a form people read.

    The answer of id is rewritten with exact identities into few conditional terms, and
    conditioning variables that the graph shows irrelevant are dropped. style "json" gives id's
    node types ("sub" lists each summed name as its own string), "text" one line of Unicode such
    as "∑_M P(M | X) ∑_X' P(X') P(Y | X', M)", "latex" math that LaTeX, MathJax and matplotlib
    render. Returns None when the effect is not identifiable (where id returns Hedge).

    Arguments, checks and errors are those of id; a style other than the three names is a
    ValueError, a style that is not a str a TypeError. The global interpreter lock is released
    while the answer is computed.
    """

class _Witness(TypedDict):
    interventions: list[str]
    outcomes: list[str]
    F: list[str]
    F_prime: list[str]
    roots: list[str]

def hedge(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
) -> _Witness | None:
    """Why P(x | z, do(y)) is not identifiable: None when id() identifies it, else the hedge on
    which the ID algorithm fails (Shpitser and Pearl, 2006).

    Every list holds names in the order in which they were first seen in the edges.

    interventions, outcomes: the query the hedge is about. Without z, y and x. With z, the
    unconditional query the algorithm finally failed on: y plus the conditioning variables that
    rule 2 of the do-calculus moved into the interventions, x plus those that stayed.
    F, F_prime: F_prime lies inside F; F holds an intervention and F_prime none; each is joined
    by bidirected edges among its own members, and each of its members reaches a root by
    directed edges inside it. The hidden common causes within F are what keep the effect from
    being computed from observational data.
    roots: outcomes of the failing step, within F_prime; ancestors of the outcomes once the
    edges into the interventions are cut.

    Takes and checks its arguments as id() does, with the same exceptions and messages (binding
    messages name hedge()); the interpreter lock is released while the witness is computed.
    """

def estimate(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
    data: Any,
    *,
    weights: str | None = None,
    ci: float | None = None,
    replicates: int = 2000,
    seed: int | None = 0,
) -> dict[str, list[Any]]:
    """Estimate P(x | z, do(y)) from discrete data: the reduced identifying formula of formula(),
    evaluated on the empirical distribution of `data`.

    data: an object with __arrow_c_stream__ (a pyarrow table, a polars frame, a pandas frame
    with pyarrow installed, a DuckDB result) or a mapping of column names to equal-length
    sequences (a dict of lists, a pandas frame). One column per variable, one row per unit;
    columns the formula does not use are ignored. Values are discrete: integers, booleans,
    strings, or floats holding discrete values. Arrow arrays are checked before they are read.
    weights: the name of a column of finite non-negative weights, for aggregated data (one row
    per combination of values). A value seen only with weight 0 is not observed.
    ci: None, or a level in (0, 1): then "lower" and "upper" hold each row's percentile bootstrap
    interval from `replicates` (1 to 1,000,000) multinomial resamples of the counts; weights must
    then be whole counts. seed: an int from 0 to 2**64 - 1 gives the same bounds on every call,
    build and number of threads; None draws fresh entropy. A RuntimeWarning says how many rows
    lost replicates in which they are undefined, and the fewest left for one of them.

    Returns a dict of equal-length lists: one key per intervention (in the caller's order), then
    per conditioning variable, then per outcome, then "probability" (and "lower", "upper" with
    ci). There is one row for every combination of the observed values of these variables, the
    first key varying slowest; each variable's values are sorted when they are of one orderable
    type, else in order of first appearance. A row whose formula divides by an empirical
    probability of 0 has probability NaN. Free variables of the formula beyond the query are
    averaged with their empirical distribution given the interventions and conditioning values.

    Raises the errors of id first (a query that is not identifiable is a ValueError here), then
    those of ci, replicates and seed, then ValueError for a missing column, columns of different
    lengths, a missing value (None, NaN, null), a malformed Arrow array, a negative, infinite or
    NaN weight (with ci, one that is not whole), no rows, a query variable named "probability"
    (or "lower" or "upper" with ci) and a result of more than 10,000,000 rows; TypeError for data
    or weights of the wrong type.

    The global interpreter lock is released while counting, evaluating and resampling.
    """

def effect(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
    data: Any,
    *,
    treated: Any,
    control: Any,
    event: Any = None,
    measure: Literal["difference", "ratio"] = "difference",
    weights: str | None = None,
    ci: float | None = 0.95,
    replicates: int = 2000,
    seed: int | None = 0,
) -> dict[str, list[Any]]:
    """The contrast of two interventions: treated - control ("difference") or treated / control
    ("ratio"; NaN where control is 0), at each combination of the conditioning values.

    treated, control: the interventions' values: one value where y has one variable (a mapping
    from its name is accepted too), else a tuple in y's order or a mapping from each name.
    event: None for the mean E[x | z, do(y = arm)] of one numeric outcome; else the outcomes'
    values, given like treated, for P(x = event | z, do(y = arm)). Each arm is what estimate()
    gives for those values.

    Returns a dict of equal-length lists: one key per conditioning variable, then "treated",
    "control", "effect" and, with ci (default 0.95; None for none), "lower" and "upper": the
    percentile bootstrap interval of the effect, both arms from the same replicates. data,
    weights, ci, replicates and seed as in estimate().

    Raises the query's errors as estimate() does; then ValueError for an unknown measure,
    values of the wrong arity or for names outside y or x, event=None with several outcomes,
    the errors of ci, replicates and seed, and a conditioning variable named "treated",
    "control", "effect", "lower" or "upper"; then from the data, a treated, control or event
    value that is not observed and event=None with an outcome that is not numeric, besides
    estimate()'s data errors.
    """

def project_latent(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    latent: Sequence[str],
) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """The latent projection of a causal graph onto the variables not in latent.

    a -> b when a directed path leads from a to b through latent variables only; a <-> b when a
    latent variable, or a bidirected edge of the input, reaches both through latent variables
    only. An observed variable left without edges comes back as the self-pair (V, V) in b_edges.
    Variables are numbered as id numbers them; both lists are sorted by those numbers, each
    bidirected pair with the earlier variable first. Every name latent gives ([], []).

    Raises ValueError for a latent name that occurs in no edge and for a directed cycle, and
    TypeError or ValueError for malformed arguments, as id does.
    """

class _DagittyGraph(TypedDict):
    d_edges: list[tuple[str, str]]
    b_edges: list[tuple[str, str]]
    interventions: list[str]
    outcomes: list[str]
    latent: list[str]

def from_dagitty(text: str) -> _DagittyGraph:
    """Read a DAG in dagitty's syntax, e.g. 'dag { X -> Y ; U [latent] ; U -> {X Y} }'.

    Returns the edges with the latent nodes projected away (see project_latent), the exposures
    as interventions, the outcomes, and the names declared latent, ready for
    id(g["d_edges"], g["b_edges"], g["interventions"], g["outcomes"], []).

    Raises ValueError for a syntax error (with its 1-based line and column), an undirected edge,
    a pdag, mag or pag, a latent exposure or outcome, and a directed cycle; TypeError when text
    is not a str.
    """

def implications(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
) -> list[tuple[str, str, tuple[str, ...]]]:
    """The conditional independences the graph implies: for every pair of variables that no edge
    joins and that some set of observed variables m-separates, one (a, b, given) whose given is
    a minimal such set. Pairs joined by an inducing path (no set separates them) are left out.

    b is not an ancestor of a (where neither is, a is the one seen first in the edges); tuples
    sorted by the first-seen positions of a and b; names in given in first-seen order. The edge
    lists are checked as id() checks them, with its errors.
    """

class _Tests(TypedDict):
    a: list[str]
    b: list[str]
    given: list[tuple[str, ...]]
    test: list[str]
    statistic: list[float]
    dof: list[int] | list[float]
    p_value: list[float]
    p_holm: list[float]
    rejected: list[bool]

def implication_tests(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    data: Any,
    *,
    weights: str | None = None,
    test: Literal["auto", "g", "chi2", "fisher_z"] = "auto",
    alpha: float = 0.05,
) -> _Tests:
    """Test every independence of implications(d_edges, b_edges) on data (read as estimate()
    reads it): one row per implication, in that order.

    test: "g" (the G-test summed over the strata of given), "chi2" (Pearson's X^2 likewise),
    "fisher_z" (Fisher's z of the partial correlation, numeric columns), or "auto" (fisher_z when
    every column read is floating point, g when none is). p_holm: Holm's adjustment over the rows
    whose p is not NaN; rejected: p_holm < alpha. weights are frequencies.

    Raises the graph's errors as id() does, then ValueError for an unknown test or an alpha
    outside (0, 1) (TypeError for a non-number), then estimate()'s data errors, columns of mixed
    kinds under "auto", and a column that is not numeric under "fisher_z". A RuntimeWarning counts
    the fisher_z rows without a statistic.
    """

def adjustment_sets(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
    *,
    minimal: bool = True,
    unobserved: Sequence[str] = (),
    limit: int = 10000,
) -> list[tuple[str, ...]]:
    """The covariate adjustment sets W (each containing z) for P(x | z, do(y)) by the adjustment
    criterion for graphs with hidden common causes; the minimal ones by default. [] means no set
    is valid, [()] that the empty set is. Sorted by size, then by first-seen positions; more than
    limit sets gives the first limit found and a RuntimeWarning. unobserved variables are never in
    a set.

    Raises the query's errors as id() does, then ValueError for an unobserved name that occurs in
    no edge or has a role in the query, a conditioning variable that descends from an
    intervention, a query without intervention or outcome, and a limit that is not positive.
    """

def is_adjustment_set(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
    adjust: Sequence[str],
) -> bool:
    """Whether adjust together with z is a valid adjustment set for P(x | z, do(y)). adjust is
    checked after the query: a name that occurs in no edge, or that is in y or x, is a ValueError."""

def optimal_adjustment_set(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
    *,
    unobserved: Sequence[str] = (),
) -> tuple[str, ...] | None:
    """The valid adjustment set of the smallest asymptotic variance (pa of the nodes on proper
    causal paths, minus the forbidden nodes), for graphs without hidden common causes; None where
    no set is valid, and with any bidirected edge or unobserved variable. z must be empty."""

def instruments(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
    *,
    unobserved: Sequence[str] = (),
    limit: int = 10000,
) -> list[tuple[str, tuple[str, ...]]]:
    """Every conditional instrument (I, W) for the effect of the one intervention y on the one
    outcome x, W minimal and holding z: I and W not forbidden, I and y m-connected given W, I and x
    m-separated given W in the proper back-door graph. Sorted by I, then W. A RuntimeWarning says
    when limit or the search's budget cuts the list. Anything but one intervention and one outcome
    is a ValueError."""

def gid(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
    experiments: Sequence[Sequence[str]],
    *,
    style: Literal["json", "text", "latex"] = "json",
) -> str | None:
    """Whether P(x | z, do(y)) can be computed from the listed distributions, and how.

    experiments: each item lists the variables one available experiment holds fixed; [] is the
    observational distribution (available only if listed). Returns formula()'s answer in the same
    style, each experimental term marked ("do" in JSON, P(Y | do(X, W), Z) in text,
    P_{X, W}(Y \\mid Z) in LaTeX), or None. With [[]] the answer is formula()'s. Complete for z
    empty under positivity.

    Raises the query's errors as id() does, then ValueError for a str where names are expected
    and for a name that is not in the graph, TypeError for a name that is not a str.
    """

class _Domain(TypedDict):
    differs: Sequence[str]
    experiments: Sequence[Sequence[str]]

def transport(
    d_edges: Sequence[tuple[str, str]],
    b_edges: Sequence[tuple[str, str]],
    y: Sequence[str],
    x: Sequence[str],
    z: Sequence[str],
    domains: Mapping[str, _Domain],
    *,
    target: Sequence[Sequence[str]] = ([],),
    style: Literal["json", "text", "latex"] = "json",
) -> str | None:
    """gid() for a target population, from the distributions of other populations (domains: name
    to {"differs": the variables whose mechanisms may differ from the target's, "experiments": as
    for gid}) and of the target itself (target, default its observational distribution). A term
    of another population is marked with its name ("domain" in JSON, P^(name)(Y | do(X), Z) in
    text, P^{(name)}_{X}(Y \\mid Z) in LaTeX). Errors as gid's, and ValueError for a domain whose
    name is not a non-empty str or whose mapping lacks "differs" or "experiments" or has other
    keys.
    """
