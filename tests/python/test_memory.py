"""No reference or memory leaks across repeated calls, on success and
failure paths."""

import gc
import os
import sys
import tracemalloc

import pytest

import rss_flat


def test_python_allocations_stay_flat():
    one_round = rss_flat.workload()
    for _ in range(200):
        one_round()
    gc.collect()
    growth = []
    tracemalloc.start()
    try:
        one_round()
        # A leak grows every window; a cache or free list settling, or an
        # exception's frames outliving it for a while, grows one of them.
        for _ in range(3):
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(2000):
                one_round()
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    # A leaked object per round would be 2000 objects, tens of KiB at least.
    assert min(growth) < 8 * 1024, growth


def test_argument_refcounts_unchanged(cap, verifier, auditor, issuer):
    ctx = '{"caller": "c", "tool": "search", "args": {}}'
    key = b"k" * 32
    objs = [cap, verifier, auditor, issuer, ctx, key]
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(1000):
        verifier.verify_with_context(cap, ctx, auditor)
        verifier.verify_with_context(cap=cap, ctx_json=ctx, auditor=auditor)
        try:
            verifier.verify_with_context(cap, ctx, cap)
        except TypeError:
            pass
        issuer.issue("x")
        velnor_issuer = type(issuer).from_key(key)
        del velnor_issuer
    assert [sys.getrefcount(o) for o in objs] == before


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine holds freed memory")
def test_rss_flat_over_many_rounds():
    assert rss_flat.main(20_000) == 0
