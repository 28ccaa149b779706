import velnor


def wrong(d: velnor.Decision) -> str:
    # None when allowed
    return d.reason  # error
