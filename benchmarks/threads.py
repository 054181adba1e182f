"""Speed-up of two threads over one on a batch of long zeph.id queries.

    python benchmarks/threads.py              # 7 runs
    python benchmarks/threads.py --repeat 15  # more runs on a noisy machine

zeph.id releases the interpreter lock while the C++ core identifies, so on two free cores two threads
should get through a batch nearly twice as fast as one. The batch is the chains X -> V1 -> ... -> Vn -> Y
with X <-> Y for n from 1,000 to 2,000, queried for P(Y | do(X)): every variable is relevant, so almost
all the time of a call is spent in the core.

One run times the batch on one thread, then the same batch split between two threads. The figures are
the medians over the runs, with their range. As a yardstick, each run does the same for a load that
surely runs without the lock (hashlib.sha256 over a 32 MiB buffer): on a machine shared with other work
both speed-ups drop together, and the yardstick tells how much parallel room the run actually had.
"""

import argparse
import hashlib
import os
import platform
import statistics
import sys
import threading
import time

import zeph

SIZES = [1000, 1200, 1400, 1600, 1800, 2000]


def front_door_chain(n):
    d = [("X", "V1")] + [(f"V{i}", f"V{i + 1}") for i in range(1, n)] + [(f"V{n}", "Y")]
    return d, [("X", "Y")], ["X"], ["Y"], []


BATCH = [front_door_chain(n) for n in SIZES] * 2
BUFFER = b"\x5a" * (32 << 20)


def zeph_work(queries):
    for q in queries:
        zeph.id(*q)


def sha_work(count):
    for _ in range(count):
        hashlib.sha256(BUFFER).digest()


def timed(parts, work):
    """Wall and process CPU seconds of running work(part) for every part, each on its own thread."""
    threads = [threading.Thread(target=work, args=(part,)) for part in parts]
    wall, cpu = time.perf_counter(), time.process_time()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - wall, time.process_time() - cpu


def measure(cases, repeat):
    """Per case: medians and ranges of (1 thread s, 2 threads s, speed-up, cores busy). The cases take turns
    within each run, so that a burst of other work on the machine hits them alike."""
    rows = {name: [] for name, *_ in cases}
    for _ in range(repeat):
        for name, one, two, work in cases:
            single, _ = timed([one], work)
            double, cpu = timed(two, work)
            rows[name].append((single, double, single / double, cpu / double))
    return {
        name: ([statistics.median(col) for col in zip(*r)], [(min(col), max(col)) for col in zip(*r)])
        for name, r in rows.items()
    }


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=7, help="runs per figure (default 7)")
    args = parser.parse_args()

    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"machine: {cpu_model()}, {cores} cores usable, {platform.system()} {platform.release()}")
    print(f"python {platform.python_version()} ({sys.executable}), load average {os.getloadavg()[0]:.2f} at start")
    print(f"batch: {len(BATCH)} queries P(Y | do(X)) on X -> V1 -> ... -> Vn -> Y, X <-> Y, n = {SIZES}")
    zeph_work(BATCH[:2])  # warm-up

    cases = [
        # Each thread gets one query of each size: equal halves of the work.
        ("zeph.id", BATCH, [BATCH[: len(SIZES)], BATCH[len(SIZES) :]], zeph_work),
        ("sha256 (yardstick)", 8, [4, 4], sha_work),
    ]
    print()
    print(f"{'load':20s} {'1 thread':>10s} {'2 threads':>10s} {'speed-up':>9s} {'range':>13s} {'cores busy':>11s}")
    for name, (med, span) in measure(cases, args.repeat).items():
        print(
            f"{name:20s} {med[0]:9.3f}s {med[1]:9.3f}s {med[2]:8.2f}x {span[2][0]:5.2f}-{span[2][1]:.2f}x "
            f"{med[3]:10.2f}"
        )
    print()
    print(f"median of {args.repeat} runs; 'cores busy' is process CPU time over wall time with two threads;")
    print(f"load average {os.getloadavg()[0]:.2f} at the end (other work on the machine shows up as noise)")


if __name__ == "__main__":
    main()
