"""The fleet example, run as a user would: two gateway processes sharing the
session's Redis for nonces and for the published revocation list."""

import os
import subprocess
import sys

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "fleet.py")


def test_two_gateways_share_nonces_and_revocations(redis):
    for url in (redis.unix_url, redis.tcp_url):
        out = subprocess.run([sys.executable, EXAMPLE, "--redis", url], capture_output=True, text=True,
                             timeout=120)
        assert out.returncode == 0, out.stdout + out.stderr
        lines = [line.strip() for line in out.stdout.splitlines() if line.startswith("  ")]
        assert lines == ["gateway A: allowed", "gateway B: proof already used"] + \
            ["gateway A: capability revoked: agent-42", "gateway B: capability revoked: agent-42"] * 2
        assert out.stderr.count("list refused: revocation list version 1 is not newer than 2") == 2
