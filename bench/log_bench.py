"""Receipt log throughput, every configuration in one run: appends per
second with one writer and with four writer processes, on SQLite (a file on
disk, synchronous=FULL) and on a private PostgreSQL 15 cluster (fsync on),
and verify() in receipts per second over 100,000 entries.

    .venv/bin/python bench/log_bench.py [--seconds S]
"""

import argparse
import multiprocessing
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import velnor  # noqa: E402

import receipts  # noqa: E402
from conftest import AUDIT_KEY  # noqa: E402
from pg_cluster import Cluster  # noqa: E402

VERIFY_ENTRIES = 100_000


def writer(url: str, name: str, seconds: float, start: "multiprocessing.synchronize.Event",
           out: "multiprocessing.Queue[int]") -> None:
    texts = receipts.make(20_000, caller=name)
    log = velnor.ReceiptLog.open(url)
    start.wait()
    done, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline and done < len(texts):
        log.append(texts[done])
        done += 1
    log.close()
    out.put(done)


def appends_per_second(url: str, writers: int, seconds: float) -> float:
    ctx = multiprocessing.get_context("spawn")
    start, out = ctx.Event(), ctx.Queue()
    procs = [ctx.Process(target=writer, args=(url, f"w{i}", seconds, start, out))
             for i in range(writers)]
    for p in procs:
        p.start()
    time.sleep(2.0)  # let every writer make its receipts and connect
    began = time.monotonic()
    start.set()
    total = sum(out.get(timeout=seconds + 120) for _ in procs)
    elapsed = time.monotonic() - began
    for p in procs:
        p.join(timeout=60)
    return total / elapsed


def verify_per_second(url: str) -> tuple[float, float]:
    log = velnor.ReceiptLog.open(url)
    texts = receipts.make(VERIFY_ENTRIES, caller="bulk")
    t = time.perf_counter()
    for i in range(0, len(texts), 10_000):
        log.extend(texts[i:i + 10_000])
    bulk = len(texts) / (time.perf_counter() - t)
    auditor = velnor.Auditor(AUDIT_KEY)
    t = time.perf_counter()
    report = log.verify(auditor)
    elapsed = time.perf_counter() - t
    assert report.ok and report.count >= VERIFY_ENTRIES, report
    log.close()
    return report.count / elapsed, bulk


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=4.0)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="velnor-log-bench-", dir=ROOT)
    cluster = Cluster(durable=True)
    rows = []
    try:
        cluster.init()
        targets = [("SQLite", lambda n: f"sqlite:///{folder}/log{n}.db"),
                   ("PostgreSQL", lambda n: cluster.new_database())]
        for name, make_url in targets:
            one = appends_per_second(make_url(1), 1, args.seconds)
            four = appends_per_second(make_url(4), 4, args.seconds)
            verify, bulk = verify_per_second(make_url(100))
            rows.append((name, one, four, bulk, verify))
    finally:
        cluster.remove()
        for f in os.listdir(folder):
            os.unlink(os.path.join(folder, f))
        os.rmdir(folder)
    print(f"{'database':<12}{'append/s 1 writer':>20}{'append/s 4 writers':>20}"
          f"{'extend receipts/s':>20}{'verify receipts/s':>20}")
    for name, one, four, bulk, verify in rows:
        print(f"{name:<12}{one:>20,.0f}{four:>20,.0f}{bulk:>20,.0f}{verify:>20,.0f}")
    print(f"verify of {VERIFY_ENTRIES:,} receipts: "
          + ", ".join(f"{name} {VERIFY_ENTRIES / v:.2f} s" for name, _, _, _, v in rows))


if __name__ == "__main__":
    main()
