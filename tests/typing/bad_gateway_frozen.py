import velnor


def wrong(d: velnor.Decision) -> None:
    d.allowed = True  # a decision is frozen
