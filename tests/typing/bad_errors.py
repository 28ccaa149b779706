"""The receipt fault is one of three words, and only receipt errors carry
one."""

import velnor


def check(auditor: velnor.Auditor, receipt: str) -> None:
    try:
        auditor.verify(receipt)
    except velnor.InvalidReceiptError as e:
        count: int = e.kind  # error
        if e.kind == "forged":  # error
            raise
    except velnor.InvalidChainError as e:
        print(e.kind)  # error


velnor.InvalidReceiptError("invalid signature", "forged")  # error
velnor.InvalidReceiptError("invalid signature", kind=None)  # error
fault: velnor.ReceiptFault = "tampered"  # error
