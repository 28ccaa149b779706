import velnor


def wrong(gateway: velnor.Gateway, cap: velnor.Capability) -> None:
    gateway.check(cap, "t", {}, "a")  # everything after the token is keyword-only
