import velnor


def wrong(d: velnor.Decision) -> str:
    return d.reason  # None when allowed
