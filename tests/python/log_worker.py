"""A separate writer process for the receipt-log tests.

    log_worker.py append URL NAME THREADS PER_THREAD   each thread its own log
    log_worker.py hang URL                             stops inside an append, before COMMIT
    log_worker.py loop URL                             appends until killed
"""

import sys
import threading
import time

import velnor
from velnor.log import _store

from conftest import AUDIT_KEY, ROOT_KEY

import receipts


def append(url: str, name: str, threads: int, per_thread: int) -> None:
    failures = []

    def run(t: int) -> None:
        try:
            log = velnor.ReceiptLog.open(url)
            for r in receipts.make(per_thread, caller=f"{name}-{t}"):
                log.append(r)
            log.close()
        except BaseException as e:  # reported through the exit status
            failures.append(e)

    workers = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    if failures:
        raise failures[0]


def hang(url: str) -> None:
    def stall(self, cur):
        print("inserted", flush=True)
        time.sleep(120)

    _store.SqlStore._commit = stall
    velnor.ReceiptLog.open(url).append(receipts.make(1, caller="killed")[0])


def loop(url: str) -> None:
    log = velnor.ReceiptLog.open(url)
    texts = receipts.make(20_000, caller="loop")
    log.append(texts[0])
    print("started", flush=True)
    for r in texts[1:]:
        log.append(r)


if __name__ == "__main__":
    mode, url, *rest = sys.argv[1:]
    if mode == "append":
        append(url, rest[0], int(rest[1]), int(rest[2]))
    elif mode == "hang":
        hang(url)
    else:
        loop(url)
