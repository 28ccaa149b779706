import velnor


def wrong(gateway: velnor.Gateway, cap: velnor.Capability) -> None:
    gateway.check(cap, tool="t", args=[1, 2], caller="a")  # args must be a mapping
