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
    "set_injection_queue_depth": ((7,), {"get_injection_queue_depth": 7}),
}


def snapshot(m, indices):
    return {(reader, i): getattr(m, reader)(i) for reader in READERS for i in indices}


@pytest.mark.parametrize("index", [0, 2])
@pytest.mark.parametrize("writer", WRITES)
def test_each_write_touches_only_its_counters(writer, index):
    m = AtomicMetrics(3)
    extra, shown = WRITES[writer]
    assert getattr(m, writer)(index, *extra) is None
    expected = dict.fromkeys(snapshot(m, range(4)), 0)
    expected.update({(reader, index): value for reader, value in shown.items()})
    assert snapshot(m, range(4)) == expected


@pytest.mark.parametrize("num_threads", [0, 3], ids=["no-workers", "index-at-length"])
@pytest.mark.parametrize("writer", WRITES)
def test_out_of_range_index_is_ignored(writer, num_threads):
    m = AtomicMetrics(num_threads=num_threads)
    for index in (num_threads, num_threads + 1, MAX):
        assert getattr(m, writer)(index, *WRITES[writer][0]) is None
    assert set(snapshot(m, [0, 1, 2, 3, 4, MAX]).values()) == {0}


def test_injection_queue_depth_set_and_refused():
    m = AtomicMetrics(2)
    m.set_injection_queue_depth(1, MAX)
    assert m.get_injection_queue_depth(1) == MAX
    m.set_injection_queue_depth(depth=5, index=1)
    for args, parameter in [((1, -1), "depth"), ((None, -1), "index")]:
        with pytest.raises((OverflowError, TypeError)) as info:
            m.set_injection_queue_depth(*args)
        assert info.value.__notes__ == [f"while processing '{parameter}'"]
    assert (m.get_injection_queue_depth(0), m.get_injection_queue_depth(1)) == (0, 5)


def test_threaded_increments_are_never_lost(run_together):
    m = AtomicMetrics(4)

    def bump():
        for _ in range(100_000):
            m.inc_park(3)

    run_together(*[bump] * 8)
    assert [m.get_park(i) for i in range(4)] == [0, 0, 0, 800_000]
