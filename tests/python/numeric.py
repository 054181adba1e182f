"""Numeric check of identification answers on random semi-Markovian models over binary variables.

A model gives each observed variable a table given its observed parents and one hidden
binary parent per bidirected edge it is in. The observational joint and the true
interventional distributions are computed by enumeration; an answer is evaluated on the
observational joint alone and must agree with the truth at every assignment.
Assignments are bitmasks: bit i is the value of the i-th observed variable.
"""

import itertools
import json


class RandomModel:
    def __init__(self, d_edges, b_edges, rng):
        self.names = []
        for a, b in list(d_edges) + list(b_edges):
            for n in (a, b):
                if n not in self.names:
                    self.names.append(n)
        self.index = {n: i for i, n in enumerate(self.names)}
        self.hidden = sorted({tuple(sorted((a, b))) for a, b in b_edges})
        self.prior = [rng.uniform(0.1, 0.9) for _ in self.hidden]
        # parents of each observed variable: observed indices, then hidden indices
        self.obs_parents = [sorted({self.index[a] for a, b in d_edges if b == n}) for n in self.names]
        self.hid_parents = [[h for h, pair in enumerate(self.hidden) if n in pair] for n in self.names]
        self.table = [
            [rng.uniform(0.1, 0.9) for _ in range(2 ** (len(op) + len(hp)))]
            for op, hp in zip(self.obs_parents, self.hid_parents)
        ]
        self._joint = None
        self._marginals = {}

    def mask(self, names):
        m = 0
        for n in names:
            m |= 1 << self.index[n]
        return m

    def _weights(self, skip):
        """Unnormalised sum over hidden values of the product of the tables not in `skip`."""
        n, h = len(self.names), len(self.hidden)
        out = [0.0] * (1 << n)
        for hv in range(1 << h):
            w0 = 1.0
            for k in range(h):
                w0 *= self.prior[k] if hv >> k & 1 else 1 - self.prior[k]
            for ov in range(1 << n):
                w = w0
                for i in range(n):
                    if i in skip:
                        continue
                    row = 0
                    for bit, p in enumerate(self.obs_parents[i]):
                        row |= (ov >> p & 1) << bit
                    base = len(self.obs_parents[i])
                    for bit, k in enumerate(self.hid_parents[i]):
                        row |= (hv >> k & 1) << (base + bit)
                    p1 = self.table[i][row]
                    w *= p1 if ov >> i & 1 else 1 - p1
                out[ov] += w
        return out

    def joint(self):
        if self._joint is None:
            self._joint = self._weights(set())
        return self._joint

    def prob(self, mask, values):
        """Observational P(variables of mask = their bits in values); one table per mask, cached."""
        table = self._marginals.get(mask)
        if table is None:
            table = {}
            for ov, p in enumerate(self.joint()):
                table[ov & mask] = table.get(ov & mask, 0.0) + p
            self._marginals[mask] = table
        return table[values & mask]

    def truth(self, x, y, z):
        """{assignment of x, y, z: P(x | z, do(y))}; do(y) drops the tables of y."""
        pdo = self._weights({self.index[n] for n in y})
        xm, ym, zm = self.mask(x), self.mask(y), self.mask(z)
        num, den = {}, {}
        for ov, p in enumerate(pdo):
            num[ov & (xm | ym | zm)] = num.get(ov & (xm | ym | zm), 0.0) + p
            den[ov & (ym | zm)] = den.get(ov & (ym | zm), 0.0) + p
        return {a: v / den[a & (ym | zm)] for a, v in num.items()}


def _compile(node, model, listed=False):
    """JSON answer -> nested tuples over bitmasks. `listed`: "sub" holds one name per string."""
    t = node["type"]
    if t == "P":
        joint = model.mask(node["vars"]) | model.mask(node["given"])
        return ("P", joint, model.mask(node["given"]))
    if t == "Marginal":
        names = node["sub"] if listed else [n for n in node["sub"][0].split(", ") if n]
        return ("M", [model.mask([n]) for n in names], _compile(node["exp"], model, listed))
    if t == "Product":
        return ("X", [_compile(e, model, listed) for e in node["exprs"]])
    if t == "Quotient":
        return ("Q", _compile(node["numer"], model, listed), _compile(node["denom"], model, listed))
    raise ValueError(f"cannot evaluate {t}")


def _eval(c, model, a):
    kind = c[0]
    if kind == "P":
        return model.prob(c[1], a) / model.prob(c[2], a)
    if kind == "M":
        total, bits = 0.0, c[1]
        cleared = a
        for b in bits:
            cleared &= ~b
        for values in range(1 << len(bits)):
            v = cleared
            for k, b in enumerate(bits):
                if values >> k & 1:
                    v |= b
            total += _eval(c[2], model, v)
        return total
    if kind == "X":
        out = 1.0
        for f in c[1]:
            out *= _eval(f, model, a)
        return out
    return _eval(c[1], model, a) / _eval(c[2], model, a)


def _mentioned(node, out):
    t = node["type"]
    if t == "P":
        out.update(node["vars"], node["given"])
    elif t == "Marginal":
        _mentioned(node["exp"], out)
    elif t == "Product":
        for e in node["exprs"]:
            _mentioned(e, out)
    elif t == "Quotient":
        _mentioned(node["numer"], out)
        _mentioned(node["denom"], out)
    return out


def check(answer, model, x, y, z, tol=1e-9, listed=False):
    """Raise AssertionError unless `answer` (zeph's JSON text) equals P(x | z, do(y)) everywhere.

    Names the answer mentions beyond the query are tried at every value. `listed`: the answer
    is formula's JSON, whose sums list one name per string.
    """
    tree = json.loads(answer)
    compiled = _compile(tree, model, listed)
    truth = model.truth(x, y, z)
    extra = sorted(_mentioned(tree, set()) - set(x) - set(y) - set(z))
    extra_masks = [model.mask([n]) for n in extra]
    for a, want in truth.items():
        for values in itertools.product((0, 1), repeat=len(extra)):
            full = a
            for m, v in zip(extra_masks, values):
                full |= m if v else 0
            got = _eval(compiled, model, full)
            if abs(got - want) > tol:
                raise AssertionError(
                    f"P({x} | {z}, do({y})) at {full:b}: answer gives {got}, truth is {want}: {answer}"
                )
