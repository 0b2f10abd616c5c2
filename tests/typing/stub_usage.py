"""Code that uses the package as its users write it; scripts/typecheck.sh
checks it with mypy --strict against the installed package. It is never run."""

from kestrum import FastChannel


def drain_upper(ch: FastChannel) -> list[str]:
    out: list[str] = []
    while True:
        ok, item = ch.try_recv()
        if not ok:
            return out
        out.append(item.upper())  # an item that arrived needs no None check
