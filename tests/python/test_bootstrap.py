"""Bootstrap intervals of zeph.estimate and the contrasts of zeph.effect: coverage of the truth on
random models, agreement with a row-resampling bootstrap, determinism across calls, processes,
threads, row orders and formats, and every error."""

import itertools
import math
import os
import random
import subprocess
import sys
import warnings
from collections import Counter

import pytest

import numeric
import zeph
from test_estimate import random_case

FRONT_DOOR = ([("X", "M"), ("M", "Y")], [("X", "Y")])
BACK_DOOR = [("Z1", "X"), ("Z2", "X"), ("X", "Y"), ("Z1", "Y"), ("Z2", "Y")]


def outcome(fn, *args, **kwargs):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            return "ok", fn(*args, **kwargs)
    except BaseException as exc:
        return type(exc).__name__, str(exc)


def front_door_rows(n, seed):
    rng = random.Random(seed)
    rows = {"X": [], "M": [], "Y": []}
    for _ in range(n):
        u = rng.random() < 0.5
        x = int(rng.random() < (0.7 if u else 0.3))
        m = int(rng.random() < (0.8 if x else 0.3))
        rows["X"].append(x)
        rows["M"].append(m)
        rows["Y"].append(int(rng.random() < 0.2 + 0.4 * m + 0.3 * u))
    return rows


def quantile(values, q):
    """numpy.quantile(values, q), method "linear"."""
    v = sorted(values)
    h = (len(v) - 1) * q
    i = math.floor(h)
    return v[i] if i + 1 >= len(v) else v[i] + (h - i) * (v[i + 1] - v[i])


# ---------------------------------------------------------------- what the intervals are


def test_intervals_cover_the_truth():
    rng = random.Random(2026)
    covered = total = 0
    for case in range(10):
        d, b, y, x, z = random_case(rng)
        model = numeric.RandomModel(d, b, rng)
        truth = model.truth(x, y, z)
        keys = list(dict.fromkeys(y + z + x))
        for _ in range(20):
            n = 3000
            sample = rng.choices(range(1 << len(model.names)), weights=model.joint(), k=n)
            data = {name: [ov >> i & 1 for ov in sample] for i, name in enumerate(model.names)}
            cells = Counter(tuple(data[k][r] for k in y + z) for r in range(n))
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                result = zeph.estimate(d, b, y, x, z, data, ci=0.95, replicates=400, seed=case)
            for i, p in enumerate(result["probability"]):
                env = {k: result[k][i] for k in keys}
                if math.isnan(p) or cells[tuple(env[k] for k in y + z)] < 0.05 * n:
                    continue
                mask = sum(v << model.index[k] for k, v in env.items())
                total += 1
                covered += result["lower"][i] <= truth[mask] <= result["upper"][i]
    assert total > 500
    assert 0.90 <= covered / total <= 0.98, (covered, total)


def test_bounds_agree_with_resampling_rows():
    rows = front_door_rows(400, 5)
    result = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], rows, ci=0.9, replicates=4000, seed=3)
    rng = random.Random(8)
    replicates = [[] for _ in result["probability"]]
    for _ in range(2000):
        pick = [rng.randrange(400) for _ in range(400)]
        again = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], {k: [v[i] for i in pick] for k, v in rows.items()})
        assert again["X"] == result["X"] and again["Y"] == result["Y"]
        for i, p in enumerate(again["probability"]):
            replicates[i].append(p)
    for i, values in enumerate(replicates):
        assert result["lower"][i] == pytest.approx(quantile(values, 0.05), abs=0.012)
        assert result["upper"][i] == pytest.approx(quantile(values, 0.95), abs=0.012)


def test_same_seed_same_bounds_everywhere():
    pa = pytest.importorskip("pyarrow")
    rows = front_door_rows(2000, 1)
    first = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], rows, ci=0.95, seed=2**64 - 1)
    assert zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], rows, ci=0.95, seed=2**64 - 1) == first
    # Another row order and another format give the same counts, so the same bounds.
    order = list(range(2000))
    random.Random(4).shuffle(order)
    shuffled = pa.table({k: [v[i] for i in order] for k, v in rows.items()})
    assert zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], shuffled, ci=0.95, seed=2**64 - 1) == first
    counts = Counter(zip(rows["X"], rows["M"], rows["Y"]))
    weighted = {"X": [k[0] for k in counts], "M": [k[1] for k in counts], "Y": [k[2] for k in counts],
                "n": list(counts.values())}
    assert zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], weighted, weights="n", ci=0.95, seed=2**64 - 1) == first
    # The replicates do not depend on the level: a narrower interval lies inside.
    half = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], rows, ci=0.5, seed=2**64 - 1)
    assert all(a <= c <= d <= b for a, b, c, d in zip(first["lower"], first["upper"], half["lower"], half["upper"]))
    # A second process, on one thread and on all.
    code = ("import zeph, json, sys; sys.path.insert(0, {!r}); from test_bootstrap import front_door_rows; "
            "print(json.dumps(zeph.estimate([('X', 'M'), ('M', 'Y')], [('X', 'Y')], ['X'], ['Y'], [], "
            "front_door_rows(2000, 1), ci=0.95, seed=2**64 - 1)))").format(os.path.dirname(__file__))
    import json
    for threads in ("1", "2", "7"):
        env = {**os.environ, "ZEPH_NUM_THREADS": threads}
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
        assert json.loads(out) == first, threads
    fresh = [zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], rows, ci=0.95, seed=None)["lower"] for _ in range(2)]
    assert fresh[0] != fresh[1]


def test_rows_that_lose_replicates():
    # X = 1 meets M = 0 in one row of 40: the rows of X = 0 need P(Y | X = 1, M = 0) in the front door's
    # inner sum, and the replicates that draw no such row do not count for them; those of X = 1 then
    # have P(M = 0 | X = 1) = 0 and need nothing missing.
    data = {"X": [0, 0, 1, 1] * 10, "M": [0, 1, 1, 1] * 10, "Y": [0, 1, 1, 0] * 10}
    data["M"][2] = 0
    with pytest.warns(RuntimeWarning) as seen:
        result = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], data, ci=0.9, replicates=500, seed=1)
    assert len(seen) == 1
    text = str(seen[0].message)
    assert text.startswith("2 rows that have an estimate lost bootstrap replicates in which they are undefined")
    fewest = int(text.rsplit(": ", 1)[1])
    assert 250 < fewest < 400  # about 1 - 1/e of them draw the row
    assert not any(math.isnan(v) for v in result["lower"] + result["probability"])
    # A hole in the data itself: NaN estimates get NaN bounds and do not count in the warning.
    data = {"X": [0, 0, 1, 1, 2, 2], "M": [0, 1, 1, 1, 0, 1], "Y": [0, 1, 1, 0, 1, 0]}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = zeph.estimate(*FRONT_DOOR, ["X"], ["Y"], [], data, ci=0.9)
    nan = [math.isnan(p) for p in result["probability"]]
    assert nan == [True, True, False, False, True, True]
    assert [math.isnan(v) for v in result["lower"]] == nan


# ---------------------------------------------------------------- effect


def back_door_rows(n, seed):
    rng = random.Random(seed)
    rows = {k: [] for k in ("Z1", "Z2", "X", "Y")}
    for _ in range(n):
        z1, z2 = rng.random() < 0.4, rng.random() < 0.6
        x = rng.random() < 0.2 + 0.3 * z1 + 0.3 * z2
        y = rng.randrange(3) + 2 * x + z1
        for k, v in zip(rows, (int(z1), int(z2), int(x), y)):
            rows[k].append(v)
    return rows


def test_effect_is_the_contrast_of_estimate_rows():
    rows = back_door_rows(3000, 2)
    table = zeph.estimate(BACK_DOOR, [], ["X"], ["Y"], ["Z1"], rows)
    p = {(x, z, y): v for x, z, y, v in zip(table["X"], table["Z1"], table["Y"], table["probability"])}
    ys = sorted(set(rows["Y"]))
    got = zeph.effect(BACK_DOOR, [], ["X"], ["Y"], ["Z1"], rows, treated=1, control=0, ci=None)
    assert list(got) == ["Z1", "treated", "control", "effect"] and got["Z1"] == [0, 1]
    for i, z in enumerate(got["Z1"]):
        mean = {x: sum(y * p[x, z, y] for y in ys) for x in (0, 1)}
        assert got["treated"][i] == pytest.approx(mean[1]) and got["control"][i] == pytest.approx(mean[0])
        assert got["effect"][i] == pytest.approx(mean[1] - mean[0])
    ratio = zeph.effect(BACK_DOOR, [], ["X"], ["Y"], [], rows, treated={"X": 1}, control=0, event=3, measure="ratio", seed=1)
    unconditional = zeph.estimate(BACK_DOOR, [], ["X"], ["Y"], [], rows)
    q = {(x, y): v for x, y, v in zip(unconditional["X"], unconditional["Y"], unconditional["probability"])}
    assert ratio["effect"][0] == pytest.approx(q[1, 3] / q[0, 3])
    assert ratio["lower"][0] < ratio["effect"][0] < ratio["upper"][0]
    # Several interventions and outcomes, as tuples and mappings.
    many = zeph.effect(BACK_DOOR, [], ["X", "Z2"], ["Y", "Z1"], [], rows, treated=(1, 1), control={"Z2": 0, "X": 0},
                       event={"Z1": 1, "Y": 2}, ci=None)
    both = zeph.estimate(BACK_DOOR, [], ["X", "Z2"], ["Y", "Z1"], [], rows)
    r = {k[:2] + k[2:]: v for k, v in zip(zip(both["X"], both["Z2"], both["Y"], both["Z1"]), both["probability"])}
    assert many["effect"][0] == pytest.approx(r[1, 1, 2, 1] - r[0, 0, 2, 1])


def test_effect_interval_on_a_million_rows():
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(0)
    n = 1_000_000
    z1, z2 = rng.integers(0, 2, n), rng.integers(0, 2, n)
    x = (rng.random(n) < 0.2 + 0.3 * z1 + 0.3 * z2).astype(int)
    y = (rng.random(n) < 0.1 + 0.2 * x + 0.3 * z1 + 0.2 * z2).astype(int)
    got = zeph.effect(BACK_DOOR, [], ["X"], ["Y"], [], pa.table({"Z1": z1, "Z2": z2, "X": x, "Y": y}),
                      treated=1, control=0, event=1)
    assert got["lower"][0] < 0.2 < got["upper"][0] and got["upper"][0] - got["lower"][0] < 0.01


GOOD = back_door_rows(200, 1)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"measure": "odds"}, "ValueError: measure must be \"difference\" or \"ratio\", not 'odds'"),
        ({"measure": 3}, "TypeError: argument 'measure': 'int' object cannot be converted to 'PyString'"),
        ({"treated": (1, 0)}, None),  # one intervention: a tuple is a value, not observed
        ({"treated": {"W": 1}}, "ValueError: treated names 'W', which is not among the interventions (X)"),
        ({"event": 1, "x": ["Y", "Z2"]},
         "ValueError: event must give a value for each of the 2 outcomes (Y, Z2): a tuple in that order or a mapping from each name; got one value"),
        ({"x": ["Y", "Z2"]}, "ValueError: event=None asks for the mean of one outcome, and there are 2 (Y, Z2); give the event whose probability each arm is"),
        ({"ci": 1.0}, "ValueError: ci must lie strictly between 0 and 1, not 1.0"),
        ({"ci": "95%"}, "TypeError: ci must be a float strictly between 0 and 1 or None, not str"),
        ({"replicates": 0}, "ValueError: replicates must be an int from 1 to 1,000,000, not 0"),
        ({"replicates": 2.5}, "TypeError: replicates must be an int from 1 to 1,000,000, not float"),
        ({"seed": -1}, "ValueError: seed must be None or an int from 0 to 2**64 - 1, not -1"),
        ({"seed": 2**64}, "ValueError: seed must be None or an int from 0 to 2**64 - 1, not 18446744073709551616"),
        ({"treated": 7}, "ValueError: treated value 7 is not observed in column 'X'"),
        ({"control": "none"}, "ValueError: control value 'none' is not observed in column 'X'"),
        ({"event": 9}, "ValueError: event value 9 is not observed in column 'Y'"),
        ({"data": {**GOOD, "Y": [str(v) for v in GOOD["Y"]]}},
         "ValueError: event=None asks for the mean of 'Y', whose values are not all numbers; give the event whose probability each arm is"),
        ({"data": {**GOOD, "w": [0.5] * 200}, "weights": "w"},
         "ValueError: with ci, weights must be counts (whole numbers): weights column 'w' holds 0.5 at row 0; the bootstrap resamples units, and probabilities carry no sample size"),
    ],
)
def test_effect_errors(kwargs, message):
    args = {"d_edges": BACK_DOOR, "b_edges": [], "y": ["X"], "x": ["Y"], "z": [], "data": GOOD, "treated": 1, "control": 0}
    args.update(kwargs)
    kind, text = outcome(zeph.effect, **args)
    if message is None:
        assert kind == "ValueError" and text == "treated value (1, 0) is not observed in column 'X'"
    else:
        assert f"{kind}: {text}" == message


def test_effect_checks_come_in_order():
    # The query's errors first, as estimate raises them.
    assert outcome(zeph.effect, [("X", "Y")], [("X", "Y")], ["X"], ["Y"], [], GOOD, treated=1, control=0, measure="odds") == (
        "ValueError", "P(Y | do(X)) is not identifiable from the observed distribution in this graph; zeph.hedge gives the witness")
    assert outcome(zeph.effect, BACK_DOOR, [], ["X"], ["Y"], [], GOOD, treated=1) == (
        "TypeError", "effect() missing 1 required keyword-only argument: 'control'")
    # Checks that need no data come before the data is read.
    assert outcome(zeph.effect, BACK_DOOR, [], ["X"], ["Y"], [], None, treated=1, control=0, seed=-1)[0] == "ValueError"
    named = [("Z1", "X"), ("lower", "X"), ("X", "Y"), ("lower", "Y")]
    assert outcome(zeph.effect, named, [], ["X"], ["Y"], ["lower"], None, treated=1, control=0) == (
        "ValueError", "a conditioning variable is named 'lower', a key of the result; rename it")
    assert outcome(zeph.estimate, named, [], ["X"], ["Y"], ["lower"], GOOD, ci=0.9) == (
        "ValueError", "a query variable is named 'lower', the result's key for the bounds of the intervals; rename it")
    # estimate checks replicates and seed also without ci.
    assert outcome(zeph.estimate, BACK_DOOR, [], ["X"], ["Y"], [], GOOD, replicates=-3)[1] == (
        "replicates must be an int from 1 to 1,000,000, not -3")
