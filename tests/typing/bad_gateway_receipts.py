import velnor


def wrong(verifier: velnor.Verifier, auditor: velnor.Auditor) -> velnor.Gateway:
    # neither callable nor appendable
    return velnor.Gateway(verifier, auditor, receipts=42)  # error
