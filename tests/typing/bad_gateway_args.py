import velnor


def wrong(gateway: velnor.Gateway, cap: velnor.Capability) -> None:
    # args must be a mapping
    gateway.check(cap, tool="t", args=[1, 2], caller="a")  # error
