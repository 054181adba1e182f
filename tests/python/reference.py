"""A plain Python rendering of zeph's identification, used by the tests as an oracle.

`identify(d_edges, b_edges, y, x, z)` returns the exact text `zeph.id` returns for
P(x | z, do(y)), or raises: `NotFound` / `InternalFailure` where zeph raises
`PanicException`, `ValueError` where zeph does.

Every order the algorithm leaves open is ascending variable id, and the one
stable sort of forms is the merge sort `msort` below, so the text is fixed.
Forms are immutable tuples, so Python's `==` is the structural equality of forms:
    (MARG, sub: frozenset, exp)  (PROD, exprs: tuple)  (QUOT, numer, denom)
    (PROB, vars: tuple, given: tuple)  (HEDGE,)
The variant number doubles as the rank of the variant in the canonical order.
"""

import json

MARG, PROD, QUOT, PROB, HEDGE = range(5)
HEDGE_FORM = (HEDGE,)
UNIT = (PROB, (), ())


class NotFound(Exception):
    """A query name that occurs in no edge (zeph: PanicException)."""


class InternalFailure(Exception):
    """A violated condition inside the algorithm (zeph: PanicException)."""


def marginal(sub, exp):
    return (MARG, frozenset(sub), exp)


def product(exprs):
    return (PROD, tuple(exprs))


def quotient(numer, denom):
    return (QUOT, numer, denom)


def _cmp(a, b):
    return (a > b) - (a < b)


# ---------------------------------------------------------------- ordering


def do_cmp(a, b):
    """-1, 0 or 1; not a consistent order (Marginals compare by size of sub only)."""
    if a[0] != b[0]:
        return _cmp(a[0], b[0])
    kind = a[0]
    if kind == HEDGE:
        return 0
    if kind == MARG:
        return _cmp(len(a[1]), len(b[1])) or do_cmp(a[2], b[2])
    if kind == PROD:
        for f, g in zip(a[1], b[1]):
            c = do_cmp(f, g)
            if c:
                return c
        return _cmp(len(a[1]), len(b[1]))
    if kind == QUOT:
        # structurally equal numerators let the denominators decide
        return do_cmp(a[2], b[2]) if a[1] == b[1] else do_cmp(a[1], b[1])
    return _cmp(a[1], b[1]) or _cmp(a[2], b[2])


def msort(a):
    """Top-down stable merge sort; its exact shape fixes the result for Equal-but-different forms."""
    if len(a) <= 1:
        return list(a)
    mid = len(a) // 2
    left, right = msort(a[:mid]), msort(a[mid:])
    out, i, j = [], 0, 0
    while i < len(left) and j < len(right):
        if do_cmp(right[j], left[i]) < 0:
            out.append(right[j])
            j += 1
        else:
            out.append(left[i])
            i += 1
    return out + left[i:] + right[j:]


def sorted_form(f):
    kind = f[0]
    if kind == MARG:
        return (MARG, f[1], sorted_form(f[2]))
    if kind == PROD:
        return product(msort([sorted_form(g) for g in f[1]]))
    if kind == QUOT:
        return quotient(sorted_form(f[1]), sorted_form(f[2]))
    if kind == PROB:
        return (PROB, tuple(sorted(f[1])), tuple(sorted(f[2])))
    return f


def remove_duplicates_sorted(first, second):
    a, b, i, j = list(first), list(second), 0, 0
    while i < len(a) and j < len(b):
        if a[i] == b[j]:
            del a[i], b[j]
        elif do_cmp(a[i], b[j]) < 0:
            i += 1
        else:
            j += 1
    return a, b


# ---------------------------------------------------------------- analysis


def free(f):
    kind = f[0]
    if kind == PROB:
        return frozenset(f[1]) | frozenset(f[2])
    if kind == MARG:
        return free(f[2]) - f[1]
    if kind == PROD:
        return frozenset().union(*(free(g) for g in f[1]))
    if kind == QUOT:
        return free(f[1]) | free(f[2])
    return frozenset()


def contains_hedge(f):
    kind = f[0]
    if kind == HEDGE:
        return True
    if kind == MARG:
        return contains_hedge(f[2])
    if kind == PROD:
        return any(contains_hedge(g) for g in f[1])
    if kind == QUOT:
        return contains_hedge(f[1]) or contains_hedge(f[2])
    return False


def map_form(f, fn, memo):
    """Bottom-up rewrite; `memo` (by node identity) avoids redoing subtrees the algorithm shares."""
    key = id(f)
    if key in memo:
        return memo[key][1]
    kind = f[0]
    if kind == MARG:
        node = (MARG, f[1], map_form(f[2], fn, memo))
    elif kind == PROD:
        node = product(map_form(g, fn, memo) for g in f[1])
    elif kind == QUOT:
        node = quotient(map_form(f[1], fn, memo), map_form(f[2], fn, memo))
    else:
        node = f
    memo[key] = (f, fn(node))  # keep f alive so its id is not reused
    return memo[key][1]


def factorize_subset(order, form, subset):
    """One factor per member v of subset: P(v | what follows v in order), as a quotient of sums."""
    factors = []
    if subset and order:
        in_order = frozenset(order) & free(form)  # variables outside order stay free
        for i, v in enumerate(order):
            if v in subset:
                m = in_order - frozenset(order[i:])
                factors.append(quotient(marginal(m, form), marginal(m | {v}, form)))
    return product(factors)


# ---------------------------------------------------------------- simplifier


def simplify(f):
    if contains_hedge(f):
        return HEDGE_FORM
    return sorted_form(map_form(f, simplify_form, {}))


def simplify_form(node):
    rule = {MARG: simplify_marginal, PROD: simplify_product, QUOT: simplify_quotient}.get(node[0])
    if rule is None:
        return node
    out = rule(node)
    return simplify_form(out) if out[0] != node[0] else out


def simplify_marginal(node):
    if node[0] != MARG:
        return node
    s, x = node[1], node[2]
    if not s:
        return x
    if x[0] == PROB:
        vs = frozenset(x[1])
        term = (PROB, tuple(sorted(vs - s)), x[2])
        d = s - vs
        return marginal(d, term) if d else term
    if x[0] == MARG:
        return marginal(s | x[1], x[2])
    return node


def _collapse(items):
    return product(items) if len(items) >= 2 else items[0] if items else UNIT


def simplify_product(node):
    if node[0] != PROD:
        return node
    num, den = [], []
    for f in node[1]:
        if f[0] == PROD:
            for g in f[1]:  # one level of nesting only
                if g[0] == QUOT:
                    num.append(g[1])
                    den.append(g[2])
                elif g != UNIT:
                    num.append(g)
        elif f[0] == QUOT:
            num.append(f[1])
            den.append(f[2])
        elif f != UNIT:
            num.append(f)
    numer, denom = _collapse(num), _collapse(den)
    return numer if denom == UNIT else quotient(numer, denom)


def _split(f):
    return (f[1], f[2]) if f[0] == QUOT else (f, UNIT)


def _factors(f):
    return list(f[1]) if f[0] == PROD else [f]


def simplify_quotient(node):
    if node[0] != QUOT:
        return node
    a, b = _split(node[1])
    c, d = _split(node[2])
    numer = msort(_factors(sorted_form(simplify_product(product([a, d])))))
    denom = msort(_factors(sorted_form(simplify_product(product([b, c])))))
    numer, denom = remove_duplicates_sorted(numer, denom)
    numer, denom = simplify_product(product(numer)), simplify_product(product(denom))
    return numer if denom == UNIT else quotient(numer, denom)


# ---------------------------------------------------------------- graphs and model


class Model:
    """parents: child -> parents (shared by derived models); bi: symmetric bidirected map."""

    def __init__(self, parents, bi, nodes, conditioned=frozenset()):
        self.parents, self.bi = parents, bi
        self.nodes, self.conditioned = frozenset(nodes), frozenset(conditioned)

    def subgraph(self, s):
        return Model(self.parents, self.bi, s, self.conditioned)

    def hide(self, w):
        return Model(self.parents, self.bi, self.nodes, self.conditioned - w)

    def p(self):
        return (PROB, tuple(sorted(self.nodes)), tuple(sorted(self.conditioned)))

    def parents_of(self, v, cut=frozenset()):
        """Visible parents of v, ascending; `cut` holds the intervened nodes (no edges into them)."""
        if v in cut:
            return []
        return sorted(p for p in self.parents.get(v, ()) if p in self.nodes)

    def order_vec(self):
        """Children before parents: each node after all of its children."""
        count = {n: 0 for n in sorted(self.nodes)}
        for n in count:
            for p in self.parents_of(n):
                count[p] += 1
        ready = [n for n, c in count.items() if c == 0]
        result = list(ready)
        while ready:
            for p in self.parents_of(ready.pop()):
                count[p] -= 1
                if count[p] == 0:
                    result.append(p)
                    ready.append(p)
        return result


def _render_set(s):
    return "{" + ", ".join(str(v) for v in sorted(s)) + "}"


def ancestors(model, s, cut=frozenset()):
    """Strict ancestors of s in the directed graph (without edges into `cut`)."""
    if not s <= model.nodes:
        edges = {k: v for k, v in model.parents.items() if k not in cut}
        rendered = "{" + ", ".join(f"{k}: {_render_set(edges[k])}" for k in sorted(edges)) + "}"
        raise InternalFailure(
            f"cannot find ancestors of {_render_set(s)} in DiGraph {{ edges: {rendered}, "
            f"nodes: {_render_set(model.nodes)} }} because not all queried\n"
            "                nodes were found in the graph"
        )
    found, stack = set(s), sorted(s)
    while stack:
        for p in model.parents_of(stack.pop(), cut):
            if p not in found:
                found.add(p)
                stack.append(p)
    return frozenset(found) - s


def c_components(bi, nodes):
    unvisited, components = set(nodes), []
    for n in sorted(nodes):
        if n not in unvisited:
            continue
        component, stack = set(), [n]
        while stack:
            v = stack.pop()
            if v in nodes and v not in component:
                component.add(v)
                stack.extend(sorted(bi.get(v, ())))
        unvisited -= component
        components.append(frozenset(component))
    return components


# ---------------------------------------------------------------- the ID algorithm


def _id(g, y, x, p):
    v = g.nodes
    # line 1: no intervention, sum the rest out
    if not x:
        return marginal(v - y, p)
    # line 2: drop what is not an ancestor of y
    a = ancestors(g, y) | y
    if v != a:
        return _id(g.subgraph(a), y, x & a, marginal(v - a, p))
    # line 3: intervene on what does not reach y once x is cut
    w = v - (x | ancestors(g, y, cut=x) | y)
    if w:
        return _id(g, y, x | w, p)
    # line 4: several districts of G minus x
    c = c_components(g.bi, v - x)
    if len(c) >= 2:
        return marginal(v - (y | x), product(_id(g, s, v - s, p) for s in c))
    # line 5: G is a single district
    k = c_components(g.bi, v)
    if len(k) == 1:
        return HEDGE_FORM
    if not c:
        raise InternalFailure("no c_components found in derived model")
    s = c[0]
    for s2 in k:
        if s <= s2:
            # line 6: the district of G minus x is a district of G
            if len(s2) == len(s):
                return marginal(s - y, factorize_subset(g.order_vec(), p, s))
            # line 7: it lies inside a bigger district
            return _id(g.subgraph(s2), y, x & s2, factorize_subset(g.order_vec(), p, s2))
    raise InternalFailure("id assumptions violated")


def shpitser_id(model, y, x):
    """P(y | conditioned, do(x)), sorted and simplified."""
    z = model.conditioned
    if z:
        g = model.hide(z)
        r = _id(g, y | z, x, g.p())
        return simplify(sorted_form(quotient(r, marginal(y, r))))
    return simplify(sorted_form(_id(model, y, x, model.p())))


def d_separated(model, ys, w, given, cut):
    """Is w d-separated from ys given `given` once edges into `cut` and out of w are removed?

    Each bidirected edge is a hidden parent ("h", a, b) of its two ends.
    """
    pa = {}
    for v in model.nodes:
        pa[v] = set() if v in cut else {p for p in model.parents.get(v, ()) if p != w}
    for a in model.nodes:
        for b in model.bi.get(a, ()):
            if a <= b:
                for end in {a, b} - cut:
                    pa[end].add(("h", a, b))
    # moral graph of the ancestral set
    anc, stack = set(), list(ys | given | {w})
    while stack:
        v = stack.pop()
        if v not in anc:
            anc.add(v)
            stack.extend(pa.get(v, ()))
    nbr = {v: set() for v in anc}
    for v in anc:
        ps = list(pa.get(v, ()))
        for i, p in enumerate(ps):
            nbr[v].add(p)
            nbr[p].add(v)
            for q in ps[i + 1:]:
                nbr[p].add(q)
                nbr[q].add(p)
    seen, stack = {w}, [w]
    while stack:
        for u in nbr[stack.pop()]:
            if u in ys:
                return False
            if u not in seen and u not in given:
                seen.add(u)
                stack.append(u)
    return True


def idc_reduce(model, y, x, z):
    """Move conditioning variables into the interventions while rule 2 of do-calculus allows."""
    moved = True
    while moved:
        moved = False
        for w in sorted(z):
            if d_separated(model, y, w, x | (z - {w}), x):
                x, z, moved = x | {w}, z - {w}, True
                break
    return x, z


# ---------------------------------------------------------------- the request


def _find_cycle(nodes, children):
    visited, path = set(), []

    def visit(u):
        visited.add(u)
        path.append(u)
        for c in sorted(children.get(u, ())):
            if c in path:
                return path[path.index(c):] + [c]
            if c not in visited:
                found = visit(c)
                if found:
                    return found
        path.pop()
        return None

    for u in sorted(nodes):
        if u not in visited:
            found = visit(u)
            if found:
                return found
    return None


def to_json(f, names):
    q = lambda s: json.dumps(s, ensure_ascii=False)  # noqa: E731  control chars as \u00xx
    kind = f[0]
    if kind == HEDGE:
        return '{"type": "Hedge"}'
    if kind == PROB:
        vs = ", ".join(q(names[v]) for v in f[1])
        gs = ", ".join(q(names[v]) for v in f[2])
        return f'{{"type": "P", "vars": [{vs}], "given": [{gs}]}}'
    if kind == QUOT:
        return f'{{"type": "Quotient", "numer": {to_json(f[1], names)}, "denom": {to_json(f[2], names)}}}'
    if kind == PROD:
        return '{"type": "Product", "exprs": [' + ", ".join(to_json(g, names) for g in f[1]) + "]}"
    sub = q(", ".join(names[v] for v in sorted(f[1])))
    return f'{{"type": "Marginal", "sub": [{sub}], "exp": {to_json(f[2], names)}}}'


def identify(d_edges, b_edges, y, x, z, idc=True):
    """The text zeph.id returns for P(x | z, do(y))."""
    ids, names = {}, []

    def var(name):
        if name not in ids:
            ids[name] = len(names)
            names.append(name)
        return ids[name]

    parents, bi = {}, {}
    for a, b in d_edges:
        ia, ib = var(a), var(b)
        parents.setdefault(ib, set()).add(ia)
    for a, b in b_edges:
        ia, ib = var(a), var(b)
        bi.setdefault(ia, set()).add(ib)
        bi.setdefault(ib, set()).add(ia)

    for query in (x, y, z):
        for name in query:
            if name not in ids:
                raise NotFound(f"Variable {name} not found")
    outcomes, treatments, conditioning = (frozenset(ids[n] for n in q) for q in (x, y, z))
    for first, second, what in (
        (outcomes, treatments, "an outcome and an intervention"),
        (outcomes, conditioning, "an outcome and a conditioning variable"),
        (treatments, conditioning, "an intervention and a conditioning variable"),
    ):
        if first & second:
            raise ValueError(f"Variable {names[min(first & second)]} cannot be both {what}")
    children = {}
    for child, ps in parents.items():
        for p in ps:
            children.setdefault(p, set()).add(child)
    cycle = _find_cycle(range(len(names)), children)
    if cycle:
        raise ValueError("d_edges contain a directed cycle: " + " -> ".join(names[v] for v in cycle))

    nodes = range(len(names))
    form = shpitser_id(Model(parents, bi, nodes, conditioning), outcomes, treatments)
    if idc and form == HEDGE_FORM and conditioning:
        new_x, new_z = idc_reduce(Model(parents, bi, nodes), outcomes, treatments, conditioning)
        if new_z != conditioning:
            form = shpitser_id(Model(parents, bi, nodes, new_z), outcomes, new_x)
    return to_json(form, names)
