"""The receipt log on a real SQLite file and a real private PostgreSQL
cluster: chain building, concurrent writers, tampering done straight in the
database, killed writers and a server that goes away."""

import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading

import pytest

import velnor
from velnor import ReceiptLog
from velnor.log import GENESIS, ReceiptLogError

import receipts
from conftest import AUDIT_KEY
from pg_cluster import Cluster

HERE = os.path.dirname(os.path.abspath(__file__))
WORKER = os.path.join(HERE, "log_worker.py")
ENV = {**os.environ,
       "PYTHONPATH": os.pathsep.join(p for p in (HERE, os.environ.get("PYTHONPATH")) if p)}


@pytest.fixture(scope="session")
def pg():
    cluster = Cluster()
    try:
        cluster.init()
        yield cluster
    finally:
        cluster.remove()


class Raw:
    """Direct access to the log's tables, as someone tampering would have."""

    def __init__(self, kind, target):
        self.kind = kind
        if kind == "sqlite":
            self.db = sqlite3.connect(target, isolation_level=None)
        else:
            import psycopg

            self.db = psycopg.connect(target, autocommit=True)

    def q(self, sql, params=()):
        if self.kind == "postgres":
            sql = sql.replace("?", "%s")
        return self.db.execute(sql, params).fetchall() if sql.lstrip().startswith("SELECT") \
            else self.db.execute(sql, params)

    def receipt(self, seq):
        return bytes(self.q("SELECT receipt FROM velnor_log_entries WHERE sequence = ?", (seq,))[0][0])

    def close(self):
        self.db.close()


def fast_dir():
    # Commits here wait for fsync; tmpfs keeps the many-append tests short
    # without changing what they check (locking and atomicity).
    return tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)


@pytest.fixture(params=["sqlite", "postgres"])
def target(request, tmp_path):
    if request.param == "sqlite":
        path = os.path.join(fast_dir(), "log.db")
        raw = Raw("sqlite", path)
        yield "sqlite", f"sqlite:///{path}", raw
        raw.close()
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.unlink(path + suffix)
        os.rmdir(os.path.dirname(path))
    else:
        url = request.getfixturevalue("pg").new_database()
        log = ReceiptLog.open(url)  # the tables exist before Raw looks at them
        log.close()
        raw = Raw("postgres", url)
        yield "postgres", url, raw
        raw.close()


@pytest.fixture
def auditor():
    return velnor.Auditor(AUDIT_KEY)


def test_empty_log(target, auditor):
    _, url, _ = target
    with ReceiptLog.open(url) as log:
        assert log.head() == (0, GENESIS)
        assert log.verify(auditor) == velnor.LogReport(count=0, ok=True, fault=None)
        assert log.verify(auditor, expected_head=(0, GENESIS)).ok
        assert log.find() == [] and log.tail() == []


def test_one_entry_links_from_genesis(target, auditor):
    _, url, raw = target
    (text,) = receipts.make(1)
    with ReceiptLog.open(url) as log:
        entry = log.append(text)
        assert entry.sequence == 1 and entry.receipt == text
        assert entry.link == receipts.links([text])[0].hex()
        doc = json.loads(text)
        assert (entry.identifier, entry.caller, entry.tool, entry.outcome, entry.timestamp_ms) == (
            "agent-7", "agent-7", "fetch", "allowed", doc["timestamp_ms"])
        assert log.head() == (1, entry.link)
        assert raw.receipt(1) == text.encode()
        assert log.verify(auditor, expected_head=log.head()) == velnor.LogReport(1, True, None)
        with pytest.raises(Exception):
            entry.sequence = 2  # frozen
    # Reopening finds the schema and the chain as they were.
    with ReceiptLog.open(url) as log:
        assert log.append(receipts.make(1, start_ms=5)[0]).sequence == 2


def test_hundred_thousand_entries(target, auditor):
    _, url, _ = target
    texts = receipts.make(100_000)
    with ReceiptLog.open(url) as log:
        for i in range(0, len(texts), 10_000):
            log.extend(texts[i:i + 10_000])
        last = receipts.links(texts)[-1].hex()
        assert log.head() == (100_000, last)
        seen = []
        report = log.verify(auditor, expected_head=(100_000, last),
                            progress=lambda done, total: seen.append((done, total)))
        assert report == velnor.LogReport(100_000, True, None)
        assert seen[-1] == (100_000, 100_000) and len(seen) > 10
        assert [e.sequence for e in log.tail(3)] == [99_998, 99_999, 100_000]


def test_find_over_indexed_columns(target):
    _, url, _ = target
    with ReceiptLog.open(url) as log:
        log.extend(receipts.make(30, caller="a", start_ms=1000))
        log.extend(receipts.make(30, caller="b", start_ms=1000))
        cases = [
            (dict(caller="a"), 30),
            (dict(caller="b", outcome="denied"), 10),
            (dict(tool="delete", outcome="allowed"), 0),
            (dict(tool="search", caller="a"), 10),
            (dict(since_ms=1010, until_ms=1019), 20),  # both bounds inclusive
            (dict(since_ms=1029), 2),
            (dict(until_ms=999), 0),
            (dict(identifier="agent-7", limit=7), 7),
            (dict(identifier="nobody"), 0),
        ]
        for query, count in cases:
            found = log.find(**query)
            assert len(found) == count, query
            assert [e.sequence for e in found] == sorted(e.sequence for e in found)
        assert log.find(caller="b", limit=1)[0].sequence == 31
        for bad in (dict(limit=0), dict(limit=10_001)):
            with pytest.raises(ValueError):
                log.find(**bad)
        with pytest.raises(TypeError):
            log.find(caller=3)


def test_unreadable_receipts_are_refused_with_the_readers_message(target):
    _, url, _ = target
    good = json.loads(receipts.make(1)[0])
    without_ts = {k: v for k, v in good.items() if k != "timestamp_ms"}
    with ReceiptLog.open(url) as log:
        for text, message in [
            ("", "invalid receipt JSON: "),
            ("{", "invalid receipt JSON: "),
            ("[]", "invalid receipt JSON: "),
            (json.dumps(without_ts), "invalid receipt JSON: missing field `timestamp_ms`"),
            (json.dumps(good) + "{}", "invalid receipt JSON: "),
            ("\ud800", "invalid receipt JSON: "),
        ]:
            with pytest.raises(velnor.InvalidReceiptError) as e:
                log.append(text)
            assert str(e.value).startswith(message) and e.value.kind == "malformed", text
        with pytest.raises(TypeError):
            log.append(b"{}")
        # A readable receipt is stored even when its signature is wrong:
        # that is verify's finding, not a reason to lose the record.
        forged = dict(good, signature="00" * 32)
        assert log.append(json.dumps(forged)).sequence == 1
        assert log.head()[0] == 1


def test_many_processes_and_threads_keep_one_chain(target, auditor):
    _, url, raw = target
    procs = [subprocess.Popen([sys.executable, WORKER, "append", url, f"p{p}", "2", "2500"],
                              env=ENV, stderr=subprocess.PIPE) for p in range(4)]
    for p in procs:
        _, err = p.communicate(timeout=300)
        assert p.returncode == 0, err.decode()
    count, low, high, distinct = raw.q(
        "SELECT count(*), min(sequence), max(sequence), count(DISTINCT sequence)"
        " FROM velnor_log_entries")[0]
    assert (count, low, high, distinct) == (20_000, 1, 20_000, 20_000)
    per_writer = raw.q("SELECT caller, count(*), count(DISTINCT timestamp_ms)"
                       " FROM velnor_log_entries GROUP BY caller ORDER BY caller")
    assert per_writer == [(f"p{p}-{t}", 2500, 2500) for p in range(4) for t in range(2)]
    with ReceiptLog.open(url) as log:
        assert log.verify(auditor) == velnor.LogReport(20_000, True, None)


def test_writers_opening_a_fresh_sqlite_file_together():
    # The switch to WAL on first open used to fail at once with "database
    # is locked" when another writer held the file, about one round in 30.
    for _ in range(30):
        path = os.path.join(fast_dir(), "log.db")
        sqlite3.connect(path).close()
        start, failures = threading.Barrier(12), []

        def open_log():
            start.wait(timeout=30)
            try:
                ReceiptLog.open(f"sqlite:///{path}").close()
            except ReceiptLogError as e:
                failures.append(e)

        openers = [threading.Thread(target=open_log) for _ in range(12)]
        for t in openers:
            t.start()
        for t in openers:
            t.join(timeout=60)
        assert failures == []
        shutil.rmtree(os.path.dirname(path))


def relink(raw, start, texts_by_seq):
    """Rewrites entries from `start` on with correct links, as anyone can:
    the links are public hashes, only receipt signatures need the key."""
    previous = bytes(raw.q("SELECT link FROM velnor_log_entries WHERE sequence = ?", (start - 1,))[0][0]) \
        if start > 1 else receipts.GENESIS
    rows = raw.q("SELECT sequence, receipt FROM velnor_log_entries WHERE sequence >= ? ORDER BY sequence",
                 (start,))
    for seq, data in rows:
        data = texts_by_seq.get(seq, bytes(data))
        (previous,) = receipts.links([data], previous)
        raw.q("UPDATE velnor_log_entries SET receipt = ?, link = ? WHERE sequence = ?",
              (data, previous, seq))
    raw.q("UPDATE velnor_log_head SET link = ? WHERE one = 1", (previous,))


def edit_byte(raw):
    data = bytearray(raw.receipt(7))
    at = data.index(b'"caller":"') + len(b'"caller":"')
    data[at] ^= 0x01
    raw.q("UPDATE velnor_log_entries SET receipt = ? WHERE sequence = 7", (bytes(data),))


def swap(raw):
    raw.q("UPDATE velnor_log_entries SET sequence = -1 WHERE sequence = 7")
    raw.q("UPDATE velnor_log_entries SET sequence = 7 WHERE sequence = 12")
    raw.q("UPDATE velnor_log_entries SET sequence = 12 WHERE sequence = -1")


def truncate_and_fix_head(raw):
    raw.q("DELETE FROM velnor_log_entries WHERE sequence > 15")
    link = raw.q("SELECT link FROM velnor_log_entries WHERE sequence = 15")[0][0]
    raw.q("UPDATE velnor_log_head SET sequence = 15, link = ? WHERE one = 1", (link,))


def forge_caller(raw):
    doc = json.loads(raw.receipt(7))
    doc["context_summary"]["caller"] = "someone-else"
    relink(raw, 7, {7: json.dumps(doc, separators=(",", ":")).encode()})


TAMPERING = [
    # (name, change, verify against the published head, first fault)
    ("edit one byte", edit_byte, False, (7, "link")),
    ("delete an entry", lambda r: r.q("DELETE FROM velnor_log_entries WHERE sequence = 7"), False, (7, "link")),
    ("delete the first entry", lambda r: r.q("DELETE FROM velnor_log_entries WHERE sequence = 1"), False, (1, "link")),
    ("swap two entries", swap, False, (7, "link")),
    ("truncate the tail", lambda r: r.q("DELETE FROM velnor_log_entries WHERE sequence > 15"), False, (16, "truncated")),
    ("truncate the tail and its head row", truncate_and_fix_head, True, (16, "truncated")),
    ("re-link a forged receipt", forge_caller, False, (7, "signature")),
    ("re-link a forged receipt, head checked", forge_caller, True, (7, "signature")),
    ("re-link text that is not JSON", lambda r: relink(r, 7, {7: b"not a receipt"}), False, (7, "unreadable")),
    ("re-link bytes that are not UTF-8", lambda r: relink(r, 7, {7: b"\xff\xfe"}), False, (7, "unreadable")),
    ("re-link the whole log", lambda r: relink(r, 1, {}), True, None),
    ("rewrite the head row", lambda r: r.q("UPDATE velnor_log_head SET link = ? WHERE one = 1", (b"\0" * 32,)),
     False, (20, "truncated")),
]


@pytest.mark.parametrize("name,change,with_head,fault", TAMPERING, ids=[t[0] for t in TAMPERING])
def test_tampering_is_found_where_it_happened(target, auditor, name, change, with_head, fault):
    _, url, raw = target
    with ReceiptLog.open(url) as log:
        log.extend(receipts.make(20))
        published = log.head()
        assert log.verify(auditor, expected_head=published).ok
        change(raw)
        report = log.verify(auditor, expected_head=published if with_head else None)
    if fault is None:
        assert report.ok and report.count == 20
        return
    assert not report.ok and report.fault is not None
    assert (report.fault.sequence, report.fault.kind) == fault
    assert report.count == fault[0] - 1 or fault[1] == "truncated"


def test_a_head_from_elsewhere_is_checked(target, auditor):
    _, url, _ = target
    with ReceiptLog.open(url) as log:
        log.extend(receipts.make(5))
        seq, link = log.head()
        other = ("0" if link[0] != "0" else "1") + link[1:]
        for head, fault in [((seq, link), None), ((3, log.find(limit=3)[2].link), None),
                            ((seq, other), (5, "truncated")), ((seq + 1, link), (6, "truncated"))]:
            report = log.verify(auditor, expected_head=head)
            got = None if report.fault is None else (report.fault.sequence, report.fault.kind)
            assert got == fault, head
        for bad in [(1,), (1, "zz"), (-1, link), (1, "ab")]:
            with pytest.raises(ValueError):
                log.verify(auditor, expected_head=bad)
        report = log.verify(velnor.Auditor(b"another-audit-key-0123456789"))
        assert (report.fault.sequence, report.fault.kind, report.fault.detail) == (1, "signature", "invalid signature")


def test_writer_killed_inside_an_append_leaves_no_trace(target, auditor):
    _, url, raw = target
    with ReceiptLog.open(url) as log:
        log.extend(receipts.make(3))
        before = log.head()
    child = subprocess.Popen([sys.executable, WORKER, "hang", url], env=ENV,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert child.stdout.readline() == b"inserted\n", child.stderr.read().decode()
        # The row is written but not committed; the writer dies right here.
        os.kill(child.pid, signal.SIGKILL)
    finally:
        child.kill()
        child.wait(timeout=30)
    with ReceiptLog.open(url) as log:
        assert log.head() == before
        assert raw.q("SELECT count(*) FROM velnor_log_entries WHERE caller = 'killed'") == [(0,)]
        entry = log.append(receipts.make(1, caller="after")[0])
        assert entry.sequence == 4
        assert log.verify(auditor) == velnor.LogReport(4, True, None)


def test_writer_killed_at_a_random_moment(target, auditor):
    _, url, _ = target
    child = subprocess.Popen([sys.executable, WORKER, "loop", url], env=ENV,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert child.stdout.readline() == b"started\n", child.stderr.read().decode()
        try:
            child.wait(timeout=0.7)
        except subprocess.TimeoutExpired:
            pass
        os.kill(child.pid, signal.SIGKILL)
    finally:
        child.kill()
        child.wait(timeout=30)
    with ReceiptLog.open(url) as log:
        seq, _ = log.head()
        assert seq > 0
        assert log.append(receipts.make(1, caller="after")[0]).sequence == seq + 1
        assert log.verify(auditor) == velnor.LogReport(seq + 1, True, None)


def test_postgres_going_away_fails_loudly_and_recovers(pg, auditor):
    url = pg.new_database()
    texts = receipts.make(4)
    log = ReceiptLog.open(url)
    try:
        log.append(texts[0])
        pg.stop()
        for call in (lambda: log.append(texts[1]), log.head, lambda: log.verify(auditor)):
            with pytest.raises(ReceiptLogError, match="^receipt log unavailable: postgresql://"):
                call()
        with pytest.raises(ReceiptLogError):
            ReceiptLog.open(url)
        pg.start()
        # Nothing was dropped quietly: the failed receipt is not there, and
        # the same log object reconnects and continues the chain.
        assert log.head()[0] == 1
        assert log.append(texts[1]).sequence == 2
        assert log.verify(auditor) == velnor.LogReport(2, True, None)
    finally:
        if not pg.running:
            pg.start()
        log.close()


def test_open_refuses_what_it_cannot_use(tmp_path):
    for url, error in [("mysql://x/y", ValueError), ("sqlite:///", ValueError),
                       ("sqlite://relative.db", ValueError),
                       (f"sqlite:///{tmp_path}/missing/dir/log.db", ReceiptLogError)]:
        with pytest.raises(error):
            ReceiptLog.open(url)
    with pytest.raises(TypeError):
        ReceiptLog.open(None)
    # A log written by a newer release is not guessed at.
    url = f"sqlite:///{tmp_path}/log.db"
    ReceiptLog.open(url).close()
    db = sqlite3.connect(tmp_path / "log.db")
    db.execute("UPDATE velnor_log_meta SET value = '2' WHERE name = 'schema_version'")
    db.commit()
    db.close()
    with pytest.raises(ReceiptLogError, match="schema version 2"):
        ReceiptLog.open(url)
    assert sqlite3.connect(tmp_path / "log.db").execute("PRAGMA journal_mode").fetchone() == ("wal",)


def cli(*args):
    return subprocess.run([sys.executable, "-m", "velnor.log", *args], capture_output=True,
                          text=True, timeout=120)


def test_command_line(tmp_path):
    key_file = tmp_path / "audit.key"
    key_file.write_bytes(AUDIT_KEY)
    url = f"sqlite:///{tmp_path}/log.db"
    with ReceiptLog.open(url) as log:
        log.extend(receipts.make(12_000))
        seq, link = log.head()
    done = cli("verify", url, "--audit-key-file", str(key_file), "--progress")
    assert (done.returncode, done.stdout) == (0, "ok: 12000 entries\n")
    assert "12000/12000" in done.stderr
    assert cli("verify", url, "--audit-key-file", str(key_file),
               "--expected-head", f"{seq}:{link}").returncode == 0
    tail = cli("tail", url, "-n", "2")
    lines = tail.stdout.splitlines()
    assert tail.returncode == 0 and len(lines) == 3
    assert lines[0].startswith("11999 2023-11-14T22:13:31.998+00:00 allowed caller='agent-7'")
    assert lines[2] == f"head {seq}:{link}"
    db = sqlite3.connect(tmp_path / "log.db")
    db.execute("DELETE FROM velnor_log_entries WHERE sequence = 500")
    db.commit()
    db.close()
    bad = cli("verify", url, "--audit-key-file", str(key_file))
    assert bad.returncode == 1 and bad.stdout.startswith("FAULT at entry 500: link:")
    short_key = tmp_path / "short.key"
    short_key.write_bytes(b"short")
    for args in [("verify", url, "--audit-key-file", str(short_key)),
                 ("verify", url, "--audit-key-file", str(tmp_path / "none")),
                 ("verify", f"sqlite:///{tmp_path}/no/such.db", "--audit-key-file", str(key_file))]:
        failed = cli(*args)
        assert failed.returncode == 2 and failed.stderr.startswith("velnor.log: "), args
        assert "short" not in failed.stderr
    assert cli("verify", url).returncode == 2  # argparse: the key file is required
