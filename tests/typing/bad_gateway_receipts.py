import velnor


def wrong(verifier: velnor.Verifier, auditor: velnor.Auditor) -> velnor.Gateway:
    return velnor.Gateway(verifier, auditor, receipts=42)  # neither callable nor appendable
