import pytest

from kestrum._kestrum_core import AtomicMetrics

MAX = 2**64 - 1
READERS = ["get_active", "get_completed", "get_global_pull", "get_park",
           "get_injection_queue_depth", "get_remote_schedule"]
# writer -> (extra arguments, what one call on a fresh object shows at its index)
WRITES = {
    "inc_active": ((), {"get_active": 1}),
    "dec_active": ((), {"get_active": MAX, "get_completed": 1}),
    "inc_global_pull": ((), {"get_global_pull": 1}),
    "inc_park": ((), {"get_park": 1}),
    "inc_remote_schedule": ((), {"get_remote_schedule": 1}),
    "set_injection_queue_depth": ((MAX,), {"get_injection_queue_depth": MAX}),
}


def snapshot(m, indices):
    return {(reader, i): getattr(m, reader)(i) for reader in READERS for i in indices}


@pytest.mark.parametrize("index", [0, 2, 3, MAX], ids=["0", "2", "past-the-end", "2**64-1"])
@pytest.mark.parametrize("writer", WRITES)
def test_each_write_touches_only_its_counters(writer, index):
    m = AtomicMetrics(3)
    extra, shown = WRITES[writer]
    assert getattr(m, writer)(index, *extra) is None
    expected = dict.fromkeys(snapshot(m, [0, 1, 2, 3, MAX]), 0)
    if index < 3:  # out-of-range indices are ignored
        expected.update({(reader, index): value for reader, value in shown.items()})
    assert snapshot(m, [0, 1, 2, 3, MAX]) == expected


def test_threaded_increments_are_never_lost(run_together):
    m = AtomicMetrics(4)

    def bump():
        for _ in range(100_000):
            m.inc_park(3)

    run_together(*[bump] * 8)
    assert [m.get_park(i) for i in range(4)] == [0, 0, 0, 800_000]
