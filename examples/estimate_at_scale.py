"""The effect of a treatment estimated from data too large for one process: Dask counts it, zeph
evaluates the identifying formula on the counts.

The data is split into partitions and counted by Dask's distributed scheduler (a local cluster of
two workers here; the same code runs on a real cluster). The counts, one row per combination of
values, go to zeph.estimate with weights=: the answer is the same as from the raw rows.

Needs: pip install "dask[distributed]" pandas
"""

import random

import dask.dataframe as dd
import pandas as pd
from distributed import Client, LocalCluster

import zeph

# Front door: the treatment X acts on Y only through M, and a hidden common cause (X <-> Y)
# confounds X and Y, so P(Y | X) is not the effect of X.
d_edges = [("X", "M"), ("M", "Y")]
b_edges = [("X", "Y")]


def simulate(n, seed):
    rng = random.Random(seed)
    rows = {"X": [], "M": [], "Y": []}
    for _ in range(n):
        u = rng.random() < 0.5  # hidden
        x = rng.random() < (0.8 if u else 0.2)
        m = rng.random() < (0.75 if x else 0.15)
        y = rng.random() < 0.1 + 0.5 * m + 0.3 * u
        rows["X"].append(int(x))
        rows["M"].append(int(m))
        rows["Y"].append(int(y))
    return pd.DataFrame(rows)


def main():
    frame = dd.from_pandas(simulate(200_000, seed=1), npartitions=8)
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        counts = frame.groupby(["X", "M", "Y"]).size(split_out=1).compute().rename("n").reset_index()
    print(f"{len(counts)} combinations of values counted from {int(counts['n'].sum())} rows")

    effect = zeph.estimate(d_edges, b_edges, ["X"], ["Y"], [], counts, weights="n")
    print(pd.DataFrame(effect))

    # In this model the truth is P(Y=1 | do(X=x)) = sum_m P(m | x) (0.1 + 0.5 m + 0.3 / 2).
    for x, pm in ((0, 0.15), (1, 0.75)):
        truth = (1 - pm) * 0.25 + pm * 0.75
        row = [i for i in range(len(effect["X"])) if effect["X"][i] == x and effect["Y"][i] == 1][0]
        print(f"P(Y=1 | do(X={x})): estimate {effect['probability'][row]:.4f}, truth {truth:.4f}")


if __name__ == "__main__":
    main()
