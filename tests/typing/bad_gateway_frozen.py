import velnor


def wrong(d: velnor.Decision) -> None:
    # a decision is frozen
    d.allowed = True  # error
