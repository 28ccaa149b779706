"""A gateway process of its own for the Redis tests:

    python redis_worker.py verify URL TOKEN CTX_JSON PROOF

prints the outcome ("allowed" or the denial reason) of one proof checked
through a RedisNonceStore at URL."""

import json
import sys

import velnor

from conftest import AUDIT_KEY, ROOT_KEY


def main(argv):
    _, url, token, call, proof = argv
    gw = velnor.Verifier(ROOT_KEY).with_audience("gateway-eu-1").with_nonce_store(velnor.RedisNonceStore(url))
    receipt = gw.verify_with_proof(velnor.Capability.parse(token), call, proof, velnor.Auditor(AUDIT_KEY))
    o = json.loads(receipt)["outcome"]
    print("allowed" if o["kind"] == "allowed" else o["reason"])


if __name__ == "__main__":
    main(sys.argv[1:])
