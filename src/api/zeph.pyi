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

from collections.abc import Sequence
from typing import Literal

__all__ = ["hello_world", "id", "formula"]

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
