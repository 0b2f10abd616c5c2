"""Code that uses the package as its users write it; scripts/typecheck.sh
checks it with mypy --strict against the installed package. It is never run."""

from kestrum import Channel, FastChannel


def drain_upper(ch: FastChannel) -> list[str]:
    out: list[str] = []
    while True:
        ok, item = ch.try_recv()
        if not ok:
            return out
        out.append(item.upper())  # an item that arrived needs no None check


def drain_lengths(ch: Channel[str]) -> list[int]:
    out: list[int] = []
    while True:
        ok, item = ch.try_recv()
        if not ok:
            return out
        out.append(len(item))


_NOTHING = object()


def drain_with_a_sentinel(ch: Channel[str]) -> list[int]:
    out: list[int] = []
    while (item := ch.try_recv_or(_NOTHING)) is not _NOTHING:
        assert isinstance(item, str)  # str | object: the sentinel check narrows nothing
        out.append(len(item))
    return out


def drain_until_none(ch: Channel[str]) -> list[int]:
    out: list[int] = []
    while (item := ch.try_recv_or(None)) is not None:
        out.append(len(item))  # str | None, narrowed to str
    return out
