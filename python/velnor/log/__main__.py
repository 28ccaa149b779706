"""Operator commands for a receipt log.

    python -m velnor.log verify URL --audit-key-file FILE [--expected-head SEQ:LINK]
    python -m velnor.log tail URL [-n COUNT]

verify exits 0 only when the whole log checks out, 1 when it does not, and
2 when it cannot be checked at all (unreachable database, bad key file)."""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Sequence
from datetime import datetime, timezone
from typing import TextIO

from velnor.log import ReceiptLog, ReceiptLogError

# Below this many entries a bar would only flicker.
BAR_MIN_ENTRIES = 10_000
BAR_WIDTH = 30


class _Bar:
    def __init__(self, out: TextIO) -> None:
        self._out = out
        self._start = time.monotonic()
        self._drawn = False

    def __call__(self, done: int, total: int) -> None:
        if total < BAR_MIN_ENTRIES:
            return
        filled = BAR_WIDTH * done // total
        rate = done / max(time.monotonic() - self._start, 1e-9)
        self._out.write(f"\r[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {done}/{total}"
                        f" {rate:,.0f} receipts/s")
        self._out.flush()
        self._drawn = True

    def finish(self) -> None:
        if self._drawn:
            self._out.write("\n")
            self._out.flush()


def _head_arg(text: str) -> tuple[int, str]:
    sequence, sep, link = text.partition(":")
    if not sep or not sequence.isdigit():
        raise argparse.ArgumentTypeError("expected SEQUENCE:LINK, as `tail` and head() show")
    return int(sequence), link


def _verify(args: argparse.Namespace) -> int:
    from velnor import Auditor

    try:
        with open(args.audit_key_file, "rb") as f:
            key = f.read()
        auditor = Auditor(key)
    except (OSError, ValueError) as e:
        print(f"velnor.log: audit key: {e}", file=sys.stderr)
        return 2
    del key  # the auditor holds its own copy
    bar = _Bar(sys.stderr) if args.progress or sys.stderr.isatty() else None
    try:
        with ReceiptLog.open(args.url) as log:
            report = log.verify(auditor, expected_head=args.expected_head, progress=bar)
    except (ReceiptLogError, ValueError, ImportError) as e:
        if bar:
            bar.finish()
        print(f"velnor.log: {e}", file=sys.stderr)
        return 2
    if bar:
        bar.finish()
    if report.fault is None:
        print(f"ok: {report.count} entries")
        return 0
    fault = report.fault
    print(f"FAULT at entry {fault.sequence}: {fault.kind}: {fault.detail}"
          f" ({report.count} entries check out before it)")
    return 1


def _tail(args: argparse.Namespace) -> int:
    try:
        with ReceiptLog.open(args.url) as log:
            entries = log.tail(args.n)
            sequence, link = log.head()
    except (ReceiptLogError, ValueError, ImportError) as e:
        print(f"velnor.log: {e}", file=sys.stderr)
        return 2
    for entry in entries:
        # datetime stops at year 9999; later timestamps show as its last instant.
        ms = min(entry.timestamp_ms, 253402300799999)
        when = datetime.fromtimestamp(ms / 1000, timezone.utc)
        print(f"{entry.sequence} {when.isoformat(timespec='milliseconds')} {entry.outcome}"
              f" caller={entry.caller!r} tool={entry.tool!r} identifier={entry.identifier!r}"
              f" link={entry.link[:16]}")
    print(f"head {sequence}:{link}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velnor.log",
                                     description="Check or show a velnor receipt log.")
    sub = parser.add_subparsers(dest="command", required=True)
    v = sub.add_parser("verify", help="check every link and receipt signature")
    v.add_argument("url", help="sqlite:///path.db or postgresql://...")
    v.add_argument("--audit-key-file", required=True, help="file holding the raw audit key")
    v.add_argument("--expected-head", type=_head_arg, metavar="SEQ:LINK",
                   help="a head published earlier that the log must still reach")
    v.add_argument("--progress", action="store_true", help="draw the bar even when not a tty")
    t = sub.add_parser("tail", help="show the last entries, one line each")
    t.add_argument("url")
    t.add_argument("-n", type=int, default=10, help="how many entries (default 10)")
    args = parser.parse_args(argv)
    return _verify(args) if args.command == "verify" else _tail(args)


if __name__ == "__main__":
    sys.exit(main())
