import velnor


def wrong(gateway: velnor.Gateway, cap: velnor.Capability) -> None:
    # everything after the token is keyword-only
    gateway.check(cap, "t", {}, "a")  # error
